// rfprobe station: the types a step's own arguments are declared from.
//
// A step keeps its arguments in one struct of these types, with their
// defaults, and declares each option by the member it fills:
//
//   struct Args {
//       Levels levels;                   // --levels -96..-70 --step 2, or a list
//       Integer<1, 1000000> frames{500};
//       Flag earlyStop;
//   };
//   constexpr ArgDef kArgs[] = {
//       typedArg(RFPROBE_ARG(Args, levels), "--levels", "LIST", "levels in dBm ...", true),
//       typedArg(RFPROBE_ARG(Args, levels.step), "--step", "DB", "the range's step, dB"),
//       typedArg(RFPROBE_ARG(Args, frames), "--frames", "N", "frames per level"),
//   };
//   ... {..., argsBlock<Args>(), ...}     // in the step's Command
//   const Args &a = s.args<Args>();      // in its run
//
// The member's type names how its text is read (RFPROBE_ARG takes it from
// the declaration, so the two cannot disagree); every value is checked
// before anything is sent.  Limits are not arguments of a step's own: they
// are StepLimits (station/args/limits.h), the same for every step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "station/args/command.h"

namespace station {

// A level in dBm with its sign, -150..30, any decimals (the generator's,
// at the unit's port).
struct Level {
    double dbm = 0;
};

// A positive number of dB, any decimals.
struct Decibels {
    double db = 0;
};

// Levels in dBm (-150..30): a comma-separated list ("-96,-90,-84") or a
// range "LO..HI" taken at every `step` dB from LO (HI included when the
// step reaches it).  Once read, dbm[0..count) holds the levels in the
// order given (a range: rising).
struct Levels {
    static constexpr unsigned kMax = 64;
    double dbm[kMax] = {};
    uint8_t count = 0;
    bool range = false;  // given as LO..HI: needs step
    double from = 0, to = 0;
    Decibels step;       // the range's step (its own option)
};

// Set powers in dBm, 0..100 with at most one decimal each, comma-separated.
struct SetPowers {
    static constexpr unsigned kMax = 16;
    double dbm[kMax] = {};
    uint8_t count = 0;
    bool given = false;
};

// LO..HI in dBm, both ends (a range of set powers).
struct Span {
    double low = 0, high = 0;
};

// A time in seconds, 0..86400, up to 3 decimals, kept in milliseconds.
struct Duration {
    uint32_t ms = 0;
};

// A whole number within Lo..Hi, decimal or 0x hex.
template <long long Lo, long long Hi>
struct Integer {
    long long n = Lo;
    static constexpr long long kLo = Lo, kHi = Hi;
};

// One of the bandwidths the radio has: 20, 40, 80 or 160 MHz.
struct Bandwidth {
    int mhz = 20;
};

// A file name.
struct FileName {
    char path[256] = "";
};

// An option without a value: given or not.
struct Flag {
    bool on = false;
};

// How a member's type is read (the conversion and, for Integer, its range).
template <class T>
struct ArgType;
template <> struct ArgType<Level> { static constexpr Conv conv = Conv::Level; };
template <> struct ArgType<Decibels> { static constexpr Conv conv = Conv::Decibels; };
template <> struct ArgType<Levels> { static constexpr Conv conv = Conv::LevelList; };
template <> struct ArgType<SetPowers> { static constexpr Conv conv = Conv::PowerList; };
template <> struct ArgType<Span> { static constexpr Conv conv = Conv::Span; };
template <> struct ArgType<Duration> { static constexpr Conv conv = Conv::Seconds; };
template <> struct ArgType<Bandwidth> { static constexpr Conv conv = Conv::Bandwidth; };
template <> struct ArgType<FileName> { static constexpr Conv conv = Conv::Path; };
template <> struct ArgType<Flag> { static constexpr Conv conv = Conv::Flag; };
template <long long Lo, long long Hi>
struct ArgType<Integer<Lo, Hi>> {
    static constexpr Conv conv = Conv::Integer;
};

template <class T>
constexpr long long argLo() { if constexpr (ArgType<T>::conv == Conv::Integer) return T::kLo; else return 0; }
template <class T>
constexpr long long argHi() { if constexpr (ArgType<T>::conv == Conv::Integer) return T::kHi; else return 0; }

// Where an argument goes in the step's struct, and how it is read.
struct ArgSlot {
    uint16_t offset;
    Conv conv;
    long long lo, hi;
};

template <class T>
constexpr ArgSlot argSlot(size_t offset) {
    return {(uint16_t)offset, ArgType<T>::conv, argLo<T>(), argHi<T>()};
}

// The slot of Args::member (a member of a member too: levels.step).
#define RFPROBE_ARG(Args, member)                                                              \
    ::station::argSlot<std::remove_cv_t<std::remove_reference_t<decltype(std::declval<Args &>().member)>>>( \
        offsetof(Args, member))

// An option (or, with option null, a positional argument named what) of
// the step's own.
constexpr ArgDef typedArg(ArgSlot s, const char *option, const char *metavar, const char *help,
                          bool required = false, const char *what = nullptr) {
    return {option, metavar, what ? what : option, s.conv, Field::Slot, required, s.lo, s.hi,
            help, nullptr, nullptr, false, s.offset};
}

// The same argument shown under a heading GROUP of its own (LIMITS).
constexpr ArgDef inGroup(ArgDef a, const char *group) {
    a.group = group;
    return a;
}

// The most bytes a step's arguments may take.
constexpr size_t kMaxStepArgBytes = 1024;

// The block of a step's struct of arguments, made with its defaults.
template <class T>
constexpr ArgsBlock argsBlock() {
    static_assert(std::is_trivially_copyable<T>::value, "a step's arguments are copied as bytes");
    static_assert(sizeof(T) <= kMaxStepArgBytes, "a step's arguments take at most kMaxStepArgBytes");
    static_assert(alignof(T) <= 8, "a step's arguments are aligned to 8 bytes");
    return {(uint16_t)sizeof(T), [](void *at) { new (at) T(); }};
}

// Reads one typed argument's text into its member at `at`; false with err.
bool convertTyped(const ArgDef &a, const char *s, void *at, char *err, size_t errLen);

// After every argument of the line is read: what one argument's value
// needs of another of the same type's (a range of levels expanded at its
// step); false with err.
bool finishTyped(const ArgDef &a, void *at, char *err, size_t errLen);

}  // namespace station
