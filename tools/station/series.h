// The tables of points a plan step records (a calibration's points, a
// sweep's levels), declared in the step's file as its measurements are,
// and looked up by command and name wherever a stored series is read or
// drawn: which column the points stand along (x), which are drawn against
// it (y), each with its unit, which column splits the points into curves,
// and which recorded measurement holds the limits a y column is held to.
//
// Plain C++ in the measures library, beside measureInfo, so that the
// station, the results library and the report take the same declarations.
//
//   constexpr SeriesColumnDecl kColumns[] = {
//       {"level", "dBm", SeriesRole::X},
//       {"per", "%", SeriesRole::Y, "per_<dBm>"},  // limits: the record's per_<level>
//       {"count", "", SeriesRole::Kept}};
//   constexpr SeriesDecl kPer = seriesDecl("per", kColumns);
//
//   const SeriesDecl *d = station::seriesDecl("rx-sweep", "per");
//   int x = d ? d->x() : -1;                     // 0: "level", dBm
//   for (int k = 0; k < d->columnCount; ++k)
//       if (d->columns[k].role == SeriesRole::Y) ... d->columns[k].limit ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace station {

// What a column of a series is to whoever draws it.
enum class SeriesRole : uint8_t {
    X,      // the axis the points stand along (one per series)
    Y,      // a value drawn against x
    Group,  // splits the points into curves by its value (pa-cal's verify: 0 before, 1 after)
    Kept,   // recorded for the reader of the record only (codes, rounds, losses)
};

struct SeriesColumnDecl {
    const char *name;
    const char *unit;  // "dBm", "dB", "%", or "" for codes, counts and flags
    SeriesRole role = SeriesRole::Kept;
    // Y only: the step's recorded measurement whose limits (low, high, as
    // the plan line gave them and the record keeps them) the column is held
    // to; may hold a placeholder ("per_<dBm>": any point's, they are the
    // same).  Null: the column has no limits.
    const char *limit = nullptr;
};

struct SeriesDecl {
    const char *name;
    const SeriesColumnDecl *columns;
    uint8_t columnCount;

    // The index of the column of that name, or -1.
    constexpr int column(std::string_view n) const {
        for (int k = 0; k < columnCount; ++k)
            if (n == columns[k].name) return k;
        return -1;
    }
    // The index of the x column, or -1 (a series drawn against nothing).
    constexpr int x() const {
        for (int k = 0; k < columnCount; ++k)
            if (columns[k].role == SeriesRole::X) return k;
        return -1;
    }
};

// Exactly one x column and at least one y, limits only on y columns.
constexpr bool seriesWellDeclared(const SeriesColumnDecl *c, size_t n) {
    int xs = 0, ys = 0;
    for (size_t k = 0; k < n; ++k) {
        xs += c[k].role == SeriesRole::X;
        ys += c[k].role == SeriesRole::Y;
        if (c[k].limit && c[k].role != SeriesRole::Y) return false;
    }
    return xs == 1 && ys >= 1;
}

// A series' declaration; the build stops on one that is not well declared
// (a non-constant call: a constexpr declaration cannot make it).
bool seriesNotWellDeclared();
template <size_t N>
constexpr SeriesDecl seriesDecl(const char *name, const SeriesColumnDecl (&columns)[N]) {
    return seriesWellDeclared(columns, N) ? SeriesDecl{name, columns, (uint8_t)N}
                                          : (seriesNotWellDeclared(), SeriesDecl{});
}

// Each plan step hands its series over at start-up, before anything is
// read or drawn (station/step/step.cpp).  The lists must live as long as
// the program.
void declareStepSeries(const char *command, const SeriesDecl *const *decls, size_t count);

// The declaration of the series `series` of the step `command` ("pa-cal",
// "points"), or null: a step or a name this station does not declare (an
// older record's).
const SeriesDecl *seriesDecl(std::string_view command, std::string_view series);

// Every declared series of one step, in its declaration order; *count 0
// for a step without series.
const SeriesDecl *const *stepSeries(std::string_view command, size_t *count);

// A series whose y measures its x (a power measured at a set power): the
// report shows the error y - x of the rows taken before the step changed
// the unit (first = 1, exclude = 0) against the errors the step recorded
// after it ("verify_error_<dBm>"), per step, with the latter's limits.
// Records from before the series kept each row as measurements
// p<k>_<column>, x named olderX.
struct ErrorView {
    const char *series;    // "points"
    const char *x;         // "set_power"
    const char *y;         // "measured"
    const char *first;     // "round"
    const char *exclude;   // "verify"
    const char *after;     // "verify_error_<dBm>"
    const char *olderX;    // "set"
    const char *argument;  // what the step's first argument names: "chain"
};

// Each plan step with one hands it over at start-up (station/step/step.cpp).
void declareErrorView(const char *command, const ErrorView *view);
// The view of the step command, or null.
const ErrorView *errorView(std::string_view command);
// The steps that declared one, in the order they did.
std::vector<std::string> errorViewSteps();

}  // namespace station
