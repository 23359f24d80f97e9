// The steps' series declarations, looked up by command and name (series.h).
#include "station/series.h"

namespace station {

namespace {

struct StepSeries {
    const char *command;
    const SeriesDecl *const *decls;
    size_t count;
};
// Constant-initialised, so a declaration before main finds it ready.
constexpr size_t kMaxSteps = 64;
StepSeries gSteps[kMaxSteps];
size_t gCount = 0;

const StepSeries *find(std::string_view command) {
    for (size_t i = 0; i < gCount; ++i)
        if (command == gSteps[i].command) return &gSteps[i];
    return nullptr;
}

}  // namespace

void declareStepSeries(const char *command, const SeriesDecl *const *decls, size_t count) {
    if (count > 0 && gCount < kMaxSteps) gSteps[gCount++] = {command, decls, count};
}

const SeriesDecl *seriesDecl(std::string_view command, std::string_view series) {
    if (const StepSeries *s = find(command))
        for (size_t k = 0; k < s->count; ++k)
            if (series == s->decls[k]->name) return s->decls[k];
    return nullptr;
}

const SeriesDecl *const *stepSeries(std::string_view command, size_t *count) {
    const StepSeries *s = find(command);
    *count = s ? s->count : 0;
    return s ? s->decls : nullptr;
}

namespace {

struct StepView {
    const char *command;
    const ErrorView *view;
};
StepView gViews[kMaxSteps];
size_t gViewCount = 0;

}  // namespace

void declareErrorView(const char *command, const ErrorView *view) {
    if (view && gViewCount < kMaxSteps) gViews[gViewCount++] = {command, view};
}

const ErrorView *errorView(std::string_view command) {
    for (size_t i = 0; i < gViewCount; ++i)
        if (command == gViews[i].command) return gViews[i].view;
    return nullptr;
}

std::vector<std::string> errorViewSteps() {
    std::vector<std::string> out;
    for (size_t i = 0; i < gViewCount; ++i) out.push_back(gViews[i].command);
    return out;
}

}  // namespace station
