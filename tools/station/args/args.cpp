// rfprobe station: station options and sub-command arguments.
#include "station/args/args.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "format/text.h"
#include "station/args/numbers.h"

namespace station {

namespace {

// Options that are not a command's own arguments.
enum class Opt : uint8_t { Arg, Retries, Iface, To, Timeout, Json, Verbose, Help };

struct OptDef {
    const char *name;
    Opt id;
    bool takesValue;
    const ArgDef *arg;  // Opt::Arg: the command's definition of this option
};

const OptDef kStationOpts[] = {
    {"--retries", Opt::Retries, true, nullptr},  {"--iface", Opt::Iface, true, nullptr},
    {"--to", Opt::To, true, nullptr},            {"--timeout", Opt::Timeout, true, nullptr},
    {"--json", Opt::Json, false, nullptr},       {"-v", Opt::Verbose, false, nullptr},
    {"--verbose", Opt::Verbose, false, nullptr}, {"--help", Opt::Help, false, nullptr},
    {"-h", Opt::Help, false, nullptr},
};

bool isGlobal(Opt id) { return id >= Opt::Iface && id <= Opt::Verbose; }

bool nameIs(const char *name, const char *arg, size_t len) {
    return strlen(name) == len && strncmp(name, arg, len) == 0;
}

// An option by its name: one of cmd's own (archive --to FILE), a station
// option, or one of any command's.
bool findOption(const char *arg, size_t len, OptDef *out, const Command *cmd) {
    if (cmd)
        for (const ArgDef &a : cmd->args)
            if (a.option && nameIs(a.option, arg, len)) {
                *out = {a.option, Opt::Arg, a.conv != Conv::Flag, &a};
                return true;
            }
    for (const OptDef &d : kStationOpts) {
        if (nameIs(d.name, arg, len)) {
            *out = d;
            return true;
        }
    }
    size_t n;
    const Command *all = commands(&n);
    for (size_t i = 0; i < n; ++i) {
        for (const ArgDef &a : all[i].args) {
            if (a.option && nameIs(a.option, arg, len)) {
                *out = {a.option, Opt::Arg, a.conv != Conv::Flag, &a};
                return true;
            }
        }
    }
    return false;
}

bool looksLikeOption(const char *s) {
    // "-372" and "-.5" are values, not options.
    return s[0] == '-' && s[1] != '\0' && !isdigit((unsigned char)s[1]) && s[1] != '.';
}

// Reads the option at argv[*i]; advances *i past its value.
bool readOption(int argc, char *const *argv, int *i, OptDef *def, const char **value, char *err,
                size_t errLen, const Command *cmd = nullptr) {
    const char *arg = argv[*i];
    const char *eq = strchr(arg, '=');
    size_t nameLen = eq ? (size_t)(eq - arg) : strlen(arg);
    if (!findOption(arg, nameLen, def, cmd))
        return fail(err, errLen, "unknown option %.*s", (int)nameLen, arg);
    *value = nullptr;
    if (def->takesValue) {
        if (eq) {
            *value = eq + 1;
        } else {
            if (*i + 1 >= argc) return fail(err, errLen, "option %s needs a value", def->name);
            *value = argv[++*i];
        }
    } else if (eq) {
        return fail(err, errLen, "option %s takes no value", def->name);
    }
    return true;
}

bool applyGlobal(Opt id, const char *value, Options *opt, char *err, size_t errLen) {
    long long v;
    switch (id) {
    case Opt::Iface:
        if (value[0] == '\0' || strlen(value) >= sizeof opt->iface)
            return fail(err, errLen, "interface name '%s' is empty or too long", value);
        snprintf(opt->iface, sizeof opt->iface, "%s", value);
        break;
    case Opt::To: {
        struct in_addr a;
        if (strlen(value) >= sizeof opt->to || inet_pton(AF_INET, value, &a) != 1)
            return fail(err, errLen, "address '%s' is not a dotted IPv4 address", value);
        snprintf(opt->to, sizeof opt->to, "%s", value);
        break;
    }
    case Opt::Timeout:
        if (!getNumber("timeout", value, 1, kMaxTimeoutMs, &v, err, errLen)) return false;
        opt->timeoutMs = (uint32_t)v;
        break;
    case Opt::Json:
        opt->json = true;
        break;
    case Opt::Verbose:
        opt->verbose = true;
        break;
    default:
        break;
    }
    return true;
}

// ---- a command's own arguments -------------------------------------------

// The index in cmd.args of the n-th positional argument, or -1.
int positional(const Command &cmd, int n) {
    for (int k = 0; k < cmd.args.count; ++k)
        if (!cmd.args.items[k].option && n-- == 0) return k;
    return -1;
}

int optionIndex(const Command &cmd, const char *name) {
    for (int k = 0; k < cmd.args.count; ++k)
        if (cmd.args.items[k].option && strcmp(cmd.args.items[k].option, name) == 0) return k;
    return -1;
}

void store(Field field, long long v, Action *act) {
    TestMsg &req = act->req;
    switch (field) {
    case Field::Code: req.cmdType = (uint8_t)v; break;
    case Field::Byte: req.byteArg = (uint8_t)v; break;
    case Field::Value1: req.value1 = (uint32_t)v; break;
    case Field::Value2: req.value2 = (uint32_t)v; break;
    case Field::Value3: req.value3 = (uint32_t)v; break;
    case Field::Chain: req.chain = (uint8_t)v; break;
    default: break;
    }
}

// A limit option's value.
bool convertLimit(const ArgDef &a, const char *s, Action *act, char *err, size_t errLen) {
    StepLimits &l = act->limits;
    double v;
    switch (a.field) {
    case Field::Low:
    case Field::High:
        if (!getDecimal(a.what, s, &v, err, errLen)) return false;
        if (a.field == Field::Low) {
            l.common.hasLow = true;
            l.common.low = v;
        } else {
            l.common.hasHigh = true;
            l.common.high = v;
        }
        return true;
    case Field::Pa1:
    case Field::Pa2:
    case Field::Pa3: {
        int k = (int)a.field - (int)Field::Pa1;
        Limit &e = l.each[k];
        l.eachSet[k] = true;
        return getRange(a.what, s, &e.hasLow, &e.low, &e.hasHigh, &e.high, err, errLen);
    }
    case Field::Each: {
        if (a.lo < 0 || a.lo >= kMaxMeasured) return fail(err, errLen, "%s: no such measurement", a.what);
        Limit &e = l.each[a.lo];
        l.eachSet[a.lo] = true;
        return getRange(a.what, s, &e.hasLow, &e.low, &e.hasHigh, &e.high, err, errLen);
    }
    case Field::EachMax: {
        if (a.lo < 0 || a.lo >= kMaxMeasured) return fail(err, errLen, "%s: no such measurement", a.what);
        if (!getDecimal(a.what, s, &v, err, errLen)) return false;
        Limit &e = l.each[a.lo];
        l.eachSet[a.lo] = true;
        e.hasHigh = true;
        e.high = v;
        return true;
    }
    case Field::StopOnFail:
        l.stopOnFail = true;
        return true;
    default:
        return true;
    }
}

// "rx, stop-rx and pa-read": the commands that take limits.
std::string measuringCommands() {
    size_t n;
    const Command *all = commands(&n);
    std::vector<const char *> words;
    for (size_t i = 0; i < n; ++i)
        if (all[i].measures() != Measures::Nothing) words.push_back(all[i].word);
    std::string out;
    for (size_t i = 0; i < words.size(); ++i)
        out += std::string(i == 0 ? "" : i + 1 == words.size() ? " and " : ", ") + words[i];
    return out;
}

// Converts one argument's text as its definition says and stores the value.
bool convert(const ArgDef &a, const char *s, Action *act, char *err, size_t errLen) {
    if (a.field == Field::Slot) {
        if (a.slot >= act->cmd->block.size)
            return fail(err, errLen, "%s: outside the step's arguments", a.what);
        return convertTyped(a, s, act->stepArgs + a.slot, err, errLen);
    }
    long long v = 0;
    switch (a.conv) {
    case Conv::Integer:
        if (!getNumber(a.what, s, a.lo, a.hi, &v, err, errLen)) return false;
        break;
    case Conv::Bandwidth:
        if (!getNumber(a.what, s, 0, 0x7FFFFFFF, &v, err, errLen)) return false;
        if (v != 20 && v != 40 && v != 80 && v != 160)
            return fail(err, errLen, "%s %s is not one of 20, 40, 80, 160 (MHz)", a.what, s);
        break;
    case Conv::Power: {
        uint32_t tenths;
        if (!getPower(s, &tenths, err, errLen)) return false;
        v = tenths;
        break;
    }
    case Conv::Coefficient: {
        int16_t c;
        if (!getCoefficient(a.what, s, &c, err, errLen)) return false;
        v = c;  // sent as a 32-bit word; the agent reads the low 16 bits
        break;
    }
    case Conv::CodeOrWord: {
        const Command *named = findCommand(s);
        if (named && named->kind == ActionKind::Send && named->code >= 0)
            v = named->code;
        else if (!getNumber(a.what, s, a.lo, a.hi, &v, err, errLen))
            return false;
        break;
    }
    case Conv::Path:
        if (strlen(s) >= sizeof act->path)
            return fail(err, errLen, "%s file name is too long", a.what);
        snprintf(act->path, sizeof act->path, "%s", s);
        return true;
    case Conv::Limit:
    case Conv::Range:
    case Conv::Flag:
        return convertLimit(a, s, act, err, errLen);
    case Conv::Text:
        return true;  // kept in Action::texts by sortWords
    default:
        return fail(err, errLen, "%s: a typed argument outside a step", a.what);
    }
    store(a.field, v, act);
    return true;
}

// The words of one command line, sorted out before any value is converted:
// a bad value is reported only when the line as a whole makes sense, and
// --help anywhere on it wins.
struct Words {
    const char *text[kMaxCommandArgs];  // by index in cmd.args; null: not given
    const char *retries;
    bool help;
    TextArg texts[kMaxTextArgs];        // Conv::Text options, in order
    unsigned textCount;
};

// Keeps a text option; a repeatable one may come again.
bool keepText(const Command &cmd, const ArgDef &a, const char *value, Words *w, char *err,
              size_t errLen) {
    if (!a.repeat)
        for (unsigned i = 0; i < w->textCount; ++i)
            if (w->texts[i].arg == &a)
                return fail(err, errLen, "%s: option %s given twice", cmd.word, a.option);
    if (w->textCount == kMaxTextArgs)
        return fail(err, errLen, "%s: more than %zu options", cmd.word, kMaxTextArgs);
    w->texts[w->textCount++] = {&a, value};
    return true;
}

bool sortWords(const Command &cmd, int argc, char *const *argv, Options *opt, Words *w,
               char *err, size_t errLen) {
    const char *word = cmd.word;
    int npos = 0;
    for (int i = 1; i < argc; ++i) {
        if (!looksLikeOption(argv[i])) {
            int k = positional(cmd, npos++);
            if (k < 0) return fail(err, errLen, "%s: unexpected argument '%s'", word, argv[i]);
            w->text[k] = argv[i];
            continue;
        }
        OptDef def;
        const char *value;
        if (!readOption(argc, argv, &i, &def, &value, err, errLen, &cmd)) return false;
        if (def.id == Opt::Help) {
            w->help = true;
            return true;
        }
        if (isGlobal(def.id)) {
            if (!opt)
                return fail(err, errLen, "%s: option %s is only accepted on the command line",
                            word, def.name);
            if (!applyGlobal(def.id, value, opt, err, errLen)) return false;
            continue;
        }
        const char **slot;
        if (def.id == Opt::Retries) {
            if (!cmd.retrySafe())
                return fail(err, errLen,
                            "%s: --retries is refused: this request is not safe to repeat", word);
            slot = &w->retries;
        } else {
            int k = optionIndex(cmd, def.name);
            if (k < 0 && def.arg && def.arg->isLimit() && cmd.measures() == Measures::Nothing)
                return fail(err, errLen,
                            "%s: %s is a limit, and %s measures nothing; limits apply only to "
                            "what %s measure",
                            word, def.name, word, measuringCommands().c_str());
            if (k < 0) return fail(err, errLen, "%s: option %s does not apply", word, def.name);
            const ArgDef &a = cmd.args.items[k];
            if (a.conv == Conv::Text) {
                if (!keepText(cmd, a, value, w, err, errLen)) return false;
                continue;
            }
            if (a.conv == Conv::Flag) value = "";
            slot = &w->text[k];
        }
        if (*slot) return fail(err, errLen, "%s: option %s given twice", word, def.name);
        *slot = value;
    }
    int k = positional(cmd, npos);
    if (k >= 0) {
        const ArgDef &a = cmd.args.items[k];
        return fail(err, errLen, "%s: missing argument %s", word,
                    a.missingName ? a.missingName : a.metavar);
    }
    for (k = 0; k < cmd.args.count; ++k) {
        const ArgDef &a = cmd.args.items[k];
        if (a.option && a.required && !w->text[k])
            return fail(err, errLen, "%s: missing option %s", word, a.option);
    }
    return true;
}

bool convertWords(const Command &cmd, const Words &w, Action *act, char *err, size_t errLen) {
    if (cmd.code >= 0) act->req.cmdType = (uint8_t)cmd.code;
    if (w.retries) {
        long long v;
        if (!getNumber("retries", w.retries, 0, kMaxRetries, &v, err, errLen)) return false;
        act->retries = (unsigned)v;
    }
    if (cmd.block.init) cmd.block.init(act->stepArgs);
    if (cmd.defaults) cmd.defaults(act);
    for (int k = 0; k < cmd.args.count; ++k)
        if (w.text[k] && !convert(cmd.args.items[k], w.text[k], act, err, errLen)) return false;
    for (const ArgDef &a : cmd.args)
        if (a.field == Field::Slot && !finishTyped(a, act->stepArgs + a.slot, err, errLen)) return false;
    // A step's arguments as a whole (pa-cal's powers, tolerance, rounds):
    // refused here, before anything is sent.
    if (cmd.check && !cmd.check(act, err, errLen)) return false;
    for (unsigned i = 0; i < w.textCount; ++i) act->texts[i] = w.texts[i];
    act->textCount = w.textCount;
    const StepLimits &l = act->limits;
    if (l.common.hasLow && l.common.hasHigh && l.common.low > l.common.high)
        return fail(err, errLen, "--min %s is above --max %s", format::number(l.common.low).c_str(),
                    format::number(l.common.high).c_str());
    if (l.stopOnFail && !l.any() && !(cmd.flags & kOwnLimits))
        return fail(err, errLen,
                    "--stop-on-fail needs a limit on the same step: without one the step "
                    "cannot fail (a missing reply always stops the plan)");
    return true;
}

ParseResult parseActionWords(int argc, char *const *argv, Options *opt, Action *act, char *err,
                             size_t errLen) {
    if (argc < 1) {
        fail(err, errLen, "no command given (try --help)");
        return ParseResult::Error;
    }
    act->cmd = findCommand(argv[0]);
    if (!act->cmd) {
        for (int i = 1; i < argc; ++i)
            if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0)
                return ParseResult::Help;  // act->cmd stays null: unknown
        fail(err, errLen, "unknown command '%s' (try --help)", argv[0]);
        return ParseResult::Error;
    }
    Words w = {};
    if (!sortWords(*act->cmd, argc, argv, opt, &w, err, errLen)) return ParseResult::Error;
    if (w.help) return ParseResult::Help;
    if (!convertWords(*act->cmd, w, act, err, errLen)) return ParseResult::Error;
    return ParseResult::Ok;
}

}  // namespace

const char *Action::text(const char *option) const {
    const char *found = nullptr;
    for (unsigned i = 0; i < textCount; ++i)
        if (strcmp(texts[i].arg->option, option) == 0) found = texts[i].value;
    return found;
}

void defaultOptions(Options *opt) {
    memset(opt, 0, sizeof *opt);
    snprintf(opt->to, sizeof opt->to, "255.255.255.255");
    opt->timeoutMs = kDefaultTimeoutMs;
}

ParseResult parseGlobalOptions(int argc, char *const *argv, int *next, Options *opt, char *err,
                               size_t errLen) {
    int i = 1;
    for (; i < argc && looksLikeOption(argv[i]); ++i) {
        OptDef def;
        const char *value;
        if (!readOption(argc, argv, &i, &def, &value, err, errLen)) return ParseResult::Error;
        if (def.id == Opt::Help) {
            *next = i + 1;
            return ParseResult::Help;
        }
        if (!isGlobal(def.id)) {
            fail(err, errLen, "option %s belongs after a sub-command", def.name);
            return ParseResult::Error;
        }
        if (!applyGlobal(def.id, value, opt, err, errLen)) return ParseResult::Error;
    }
    *next = i;
    return ParseResult::Ok;
}

ParseResult parseAction(int argc, char *const *argv, Options *opt, Action *act, char *err,
                        size_t errLen) {
    memset(act, 0, sizeof *act);
    ParseResult r = parseActionWords(argc, argv, opt, act, err, errLen);
    if (r == ParseResult::Error && act->cmd) {
        // Name the sub-command in every message about its arguments.
        const char *word = act->cmd->word;
        size_t n = strlen(word);
        if (strncmp(err, word, n) != 0 || err[n] != ':') {
            char msg[kErrLen];
            snprintf(msg, sizeof msg, "%s", err);
            snprintf(err, errLen, "%s: %s", word, msg);
        }
    }
    return r;
}

}  // namespace station
