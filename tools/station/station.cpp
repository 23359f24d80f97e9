// rfprobe station: command table, frames, argument and plan parsing, output.
#include "station/station.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdarg>
#include <cstring>

namespace station {

// ---- command table -------------------------------------------------------

namespace {

const CmdInfo kCommands[] = {
#define RFPROBE_STATION_ENTRY(code, name, word, need, run, form) {name, word},
    RFPROBE_COMMANDS(RFPROBE_STATION_ENTRY)
#undef RFPROBE_STATION_ENTRY
};
constexpr size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

}  // namespace

const CmdInfo *commandTable(size_t *count) {
    *count = kCommandCount;
    return kCommands;
}

const CmdInfo *findCommandByWord(const char *word) {
    for (const CmdInfo &c : kCommands)
        if (strcmp(c.word, word) == 0) return &c;
    return nullptr;
}

const CmdInfo *findCommandByCode(uint8_t code) {
    for (const CmdInfo &c : kCommands)
        if (c.code == code) return &c;
    return nullptr;
}

const char *commandWord(uint8_t code) {
    const CmdInfo *c = findCommandByCode(code);
    return c ? c->word : nullptr;
}

bool isRetrySafe(uint8_t code) {
    switch (code) {
    case CMD_SET_CHANNEL:
    case CMD_SET_ANTENNA:
    case CMD_EXIT_TEST:
    case CMD_READ_PA_PARAMS:
    case CMD_STOP_TX:
        return true;
    default:
        return false;
    }
}

// ---- frames --------------------------------------------------------------

void encodeRequest(const Request &req, uint8_t out[kReqPayloadLen]) {
    memset(out, 0, kReqPayloadLen);
    memcpy(out + kMsgOffMagic, kTestMagic, sizeof kTestMagic);
    out[kMsgOffCmd] = req.code;
    out[kMsgOffByte] = req.byteArg;
    putBe32(out + kMsgOffValue1, req.value1);
    putBe32(out + kMsgOffValue2, req.value2);
    putBe32(out + kMsgOffValue3, req.value3);
    out[kMsgOffChain] = req.chain;
}

ReplyCheck checkReply(const uint8_t *buf, size_t len, int expectedCode, Reply *out) {
    if (len < kReplyPayloadLen) return ReplyCheck::Truncated;
    if (getBe32(buf + kMsgOffMagic) != kTestMagicWord0 ||
        getBe32(buf + kMsgOffMagic + 4) != kTestMagicWord1)
        return ReplyCheck::BadMagic;
    out->code = buf[kMsgOffCmd];
    out->byteArg = buf[kMsgOffByte];
    out->value1 = getBe32(buf + kMsgOffValue1);
    out->value2 = getBe32(buf + kMsgOffValue2);
    out->value3 = getBe32(buf + kMsgOffValue3);
    out->half = getBe16(buf + kMsgOffValue2);
    if (expectedCode >= 0 && out->code != (uint8_t)expectedCode) return ReplyCheck::OtherCode;
    return ReplyCheck::Match;
}

// ---- numbers -------------------------------------------------------------

namespace {

ParseResult fail(char *err, size_t errLen, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

ParseResult fail(char *err, size_t errLen, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, errLen, fmt, ap);
    va_end(ap);
    return ParseResult::Error;
}

enum class Num { Ok, Syntax, Range };

// Decimal, or hexadecimal with 0x.  A leading zero does not mean octal.
Num parseNumber(const char *s, long long lo, long long hi, long long *out, bool *isHex) {
    const char *p = s;
    bool neg = false;
    if (*p == '-' || *p == '+') neg = *p++ == '-';
    bool hex = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    if (hex) p += 2;
    if (*p == '\0') return Num::Syntax;
    unsigned long long v = 0;
    bool big = false;
    for (; *p; ++p) {
        int d;
        unsigned char c = (unsigned char)*p;
        if (isdigit(c))
            d = c - '0';
        else if (hex && isxdigit(c))
            d = tolower(c) - 'a' + 10;
        else
            return Num::Syntax;
        if (v > (1ULL << 40))
            big = true;
        else
            v = v * (hex ? 16 : 10) + (unsigned)d;
    }
    if (big) return Num::Range;
    long long x = neg ? -(long long)v : (long long)v;
    if (x < lo || x > hi) return Num::Range;
    *out = x;
    if (isHex) *isHex = hex;
    return Num::Ok;
}

bool getNumber(const char *what, const char *s, long long lo, long long hi, long long *out,
               char *err, size_t errLen) {
    switch (parseNumber(s, lo, hi, out, nullptr)) {
    case Num::Ok:
        return true;
    case Num::Syntax:
        fail(err, errLen, "%s '%s' is not a number", what, s);
        return false;
    case Num::Range:
        break;
    }
    fail(err, errLen, "%s %s is out of range (%lld..%lld)", what, s, lo, hi);
    return false;
}

// A PA coefficient: decimal -32768..32767, or the 16-bit pattern in hex as
// the radio prints it (0xfe8c), or that pattern widened with its sign
// (0xfffffe8c) as the agent logs it.
bool getCoefficient(const char *what, const char *s, int16_t *out, char *err, size_t errLen) {
    long long v;
    bool hex = false;
    Num n = parseNumber(s, -0x80000000LL, 0xFFFFFFFFLL, &v, &hex);
    if (n == Num::Syntax) {
        fail(err, errLen, "%s '%s' is not a number", what, s);
        return false;
    }
    if (n == Num::Ok && hex && v >= 0 && (v <= 0xFFFF || (v >= 0xFFFF8000LL && v <= 0xFFFFFFFFLL))) {
        *out = (int16_t)(uint16_t)(v & 0xFFFF);
        return true;
    }
    if (n == Num::Ok && !hex && v >= -32768 && v <= 32767) {
        *out = (int16_t)v;
        return true;
    }
    fail(err, errLen, "%s %s is out of range (-32768..32767, or 0x0000..0xffff)", what, s);
    return false;
}

// "D[.F]" with at most `decimals` fractional digits, scaled by 10^decimals.
Num parseFixed(const char *s, int decimals, unsigned long long *out) {
    const char *p = s;
    unsigned long long v = 0;
    int digits = 0, frac = -1;
    for (; *p; ++p) {
        if (*p == '.' && frac < 0) {
            frac = 0;
            continue;
        }
        if (!isdigit((unsigned char)*p)) return Num::Syntax;
        if (frac >= 0) {
            if (frac == decimals) {
                if (*p != '0') return Num::Range;  // more precision than can be sent
                continue;
            }
            ++frac;
        }
        ++digits;
        if (v > (1ULL << 40)) return Num::Range;
        v = v * 10 + (unsigned)(*p - '0');
    }
    if (digits == 0) return Num::Syntax;
    for (int i = frac < 0 ? 0 : frac; i < decimals; ++i) v *= 10;
    *out = v;
    return Num::Ok;
}

bool getPower(const char *s, uint32_t *tenths, char *err, size_t errLen) {
    unsigned long long v = 0;
    Num n = s[0] == '-' && parseFixed(s + 1, 6, &v) == Num::Ok ? Num::Range : parseFixed(s, 1, &v);
    if (n == Num::Syntax) {
        fail(err, errLen, "power '%s' is not a number of dBm (like 17.5)", s);
        return false;
    }
    if (n == Num::Range && s[0] != '-' && parseFixed(s, 6, &v) == Num::Ok) {
        fail(err, errLen, "power %s has more than one decimal; it is sent in tenths of a dBm", s);
        return false;
    }
    if (n != Num::Ok || v > kMaxPowerTenths) {
        fail(err, errLen, "power %s is out of range (0.0..%u.%u dBm)", s, kMaxPowerTenths / 10,
             kMaxPowerTenths % 10);
        return false;
    }
    *tenths = (uint32_t)v;
    return true;
}

bool getSeconds(const char *what, const char *s, uint32_t *ms, char *err, size_t errLen) {
    unsigned long long v = 0;
    Num n = s[0] == '-' && parseFixed(s + 1, 3, &v) == Num::Ok ? Num::Range : parseFixed(s, 3, &v);
    if (n == Num::Syntax) {
        fail(err, errLen, "%s '%s' is not a number of seconds", what, s);
        return false;
    }
    if (n != Num::Ok || v > kMaxWaitMs) {
        fail(err, errLen, "%s %s is out of range (0..%u seconds, at most 3 decimals)", what, s,
             kMaxWaitMs / 1000);
        return false;
    }
    *ms = (uint32_t)v;
    return true;
}

// ---- options -------------------------------------------------------------

enum OptId : unsigned {
    OPT_RATE = 1u << 0,
    OPT_BW = 1u << 1,
    OPT_POWER = 1u << 2,
    OPT_SECONDS = 1u << 3,
    OPT_BYTE = 1u << 4,
    OPT_V1 = 1u << 5,
    OPT_V2 = 1u << 6,
    OPT_V3 = 1u << 7,
    OPT_CHAIN = 1u << 8,
    OPT_RETRIES = 1u << 9,
    // station-wide
    OPT_IFACE = 1u << 16,
    OPT_TO = 1u << 17,
    OPT_TIMEOUT = 1u << 18,
    OPT_JSON = 1u << 19,
    OPT_VERBOSE = 1u << 20,
    OPT_HELP = 1u << 21,
};
constexpr unsigned kGlobalOpts = OPT_IFACE | OPT_TO | OPT_TIMEOUT | OPT_JSON | OPT_VERBOSE;
constexpr int kOptSlots = 10;  // OPT_RATE..OPT_RETRIES

struct OptDef {
    const char *name;
    unsigned id;
    bool takesValue;
};

const OptDef kOptDefs[] = {
    {"--rate", OPT_RATE, true},       {"--bw", OPT_BW, true},
    {"--power", OPT_POWER, true},     {"--seconds", OPT_SECONDS, true},
    {"--byte", OPT_BYTE, true},       {"--v1", OPT_V1, true},
    {"--v2", OPT_V2, true},           {"--v3", OPT_V3, true},
    {"--chain", OPT_CHAIN, true},     {"--retries", OPT_RETRIES, true},
    {"--iface", OPT_IFACE, true},     {"--to", OPT_TO, true},
    {"--timeout", OPT_TIMEOUT, true}, {"--json", OPT_JSON, false},
    {"-v", OPT_VERBOSE, false},       {"--verbose", OPT_VERBOSE, false},
    {"--help", OPT_HELP, false},      {"-h", OPT_HELP, false},
};

int slotOf(unsigned id) {
    int i = 0;
    while (id > 1) {
        id >>= 1;
        ++i;
    }
    return i;
}

bool looksLikeOption(const char *s) {
    // "-372" and "-.5" are values, not options.
    return s[0] == '-' && s[1] != '\0' && !isdigit((unsigned char)s[1]) && s[1] != '.';
}

// Reads the option at argv[*i]; advances *i past its value.
ParseResult readOption(int argc, char *const *argv, int *i, const OptDef **def,
                       const char **value, char *err, size_t errLen) {
    const char *arg = argv[*i];
    const char *eq = strchr(arg, '=');
    size_t nameLen = eq ? (size_t)(eq - arg) : strlen(arg);
    *def = nullptr;
    for (const OptDef &d : kOptDefs)
        if (strlen(d.name) == nameLen && strncmp(d.name, arg, nameLen) == 0) *def = &d;
    if (!*def) return fail(err, errLen, "unknown option %.*s", (int)nameLen, arg);
    *value = nullptr;
    if ((*def)->takesValue) {
        if (eq) {
            *value = eq + 1;
        } else {
            if (*i + 1 >= argc) return fail(err, errLen, "option %s needs a value", (*def)->name);
            *value = argv[++*i];
        }
    } else if (eq) {
        return fail(err, errLen, "option %s takes no value", (*def)->name);
    }
    return ParseResult::Ok;
}

ParseResult applyGlobal(const OptDef *def, const char *value, Options *opt, char *err,
                        size_t errLen) {
    long long v;
    switch (def->id) {
    case OPT_IFACE:
        if (value[0] == '\0' || strlen(value) >= sizeof opt->iface)
            return fail(err, errLen, "interface name '%s' is empty or too long", value);
        snprintf(opt->iface, sizeof opt->iface, "%s", value);
        break;
    case OPT_TO: {
        struct in_addr a;
        if (strlen(value) >= sizeof opt->to || inet_pton(AF_INET, value, &a) != 1)
            return fail(err, errLen, "address '%s' is not a dotted IPv4 address", value);
        snprintf(opt->to, sizeof opt->to, "%s", value);
        break;
    }
    case OPT_TIMEOUT:
        if (!getNumber("timeout", value, 1, kMaxTimeoutMs, &v, err, errLen))
            return ParseResult::Error;
        opt->timeoutMs = (uint32_t)v;
        break;
    case OPT_JSON:
        opt->json = true;
        break;
    case OPT_VERBOSE:
        opt->verbose = true;
        break;
    }
    return ParseResult::Ok;
}

// ---- sub-commands --------------------------------------------------------

enum class Shape {
    None,      // no argument
    ByteArg,   // set-channel N, set-antenna N
    SetTx,     // --rate --bw --power
    StartRx,   // --rate --bw
    Rx,        // --rate --bw --seconds
    PaRead,    // CHAIN
    PaWrite,   // CHAIN C1 C2 C3
    Raw,       // CODE [--byte] [--v1] [--v2] [--v3] [--chain]
    Listen,
    Run,       // PLAN
    Sleep,     // SECONDS
};

struct SubCmd {
    const char *word;
    Shape shape;
    int npos;
    unsigned opts;
    unsigned required;
};

const SubCmd kExtraSubCmds[] = {
    {"rx", Shape::Rx, 0, OPT_RATE | OPT_BW | OPT_SECONDS, OPT_RATE | OPT_BW | OPT_SECONDS},
    {"raw", Shape::Raw, 1, OPT_BYTE | OPT_V1 | OPT_V2 | OPT_V3 | OPT_CHAIN, 0},
    {"listen", Shape::Listen, 0, 0, 0},
    {"run", Shape::Run, 1, 0, 0},
    {"sleep", Shape::Sleep, 1, 0, 0},
};

bool lookupSubCmd(const char *word, SubCmd *sc, const CmdInfo **info) {
    *info = findCommandByWord(word);
    if (*info) {
        sc->word = (*info)->word;
        sc->opts = isRetrySafe((*info)->code) ? (unsigned)OPT_RETRIES : 0u;
        sc->required = 0;
        switch ((*info)->code) {
        case CMD_SET_CHANNEL:
        case CMD_SET_ANTENNA:
            sc->shape = Shape::ByteArg;
            sc->npos = 1;
            break;
        case CMD_SET_TX:
            sc->shape = Shape::SetTx;
            sc->npos = 0;
            sc->required = OPT_RATE | OPT_BW | OPT_POWER;
            sc->opts |= sc->required;
            break;
        case CMD_START_RX:
            sc->shape = Shape::StartRx;
            sc->npos = 0;
            sc->required = OPT_RATE | OPT_BW;
            sc->opts |= sc->required;
            break;
        case CMD_READ_PA_PARAMS:
            sc->shape = Shape::PaRead;
            sc->npos = 1;
            break;
        case CMD_WRITE_PA_PARAMS:
            sc->shape = Shape::PaWrite;
            sc->npos = 4;
            break;
        default:
            sc->shape = Shape::None;
            sc->npos = 0;
            break;
        }
        return true;
    }
    for (const SubCmd &s : kExtraSubCmds) {
        if (strcmp(s.word, word) == 0) {
            *sc = s;
            return true;
        }
    }
    return false;
}

const char *optName(unsigned id) {
    for (const OptDef &d : kOptDefs)
        if (d.id == id) return d.name;
    return "?";
}

bool getRateBw(const char *const *vals, Request *req, char *err, size_t errLen) {
    long long v;
    if (!getNumber("rate index", vals[slotOf(OPT_RATE)], 0, kMaxRateIndex, &v, err, errLen))
        return false;
    req->byteArg = (uint8_t)v;
    const char *bw = vals[slotOf(OPT_BW)];
    if (!getNumber("bandwidth", bw, 0, 0x7FFFFFFF, &v, err, errLen)) return false;
    if (v != 20 && v != 40 && v != 80 && v != 160) {
        fail(err, errLen, "bandwidth %s is not one of 20, 40, 80, 160 (MHz)", bw);
        return false;
    }
    req->value1 = (uint32_t)v;
    return true;
}

}  // namespace

void defaultOptions(Options *opt) {
    memset(opt, 0, sizeof *opt);
    snprintf(opt->to, sizeof opt->to, "255.255.255.255");
    opt->timeoutMs = kDefaultTimeoutMs;
}

ParseResult parseGlobalOptions(int argc, char *const *argv, int *next, Options *opt, char *err,
                               size_t errLen) {
    int i = 1;
    for (; i < argc && looksLikeOption(argv[i]); ++i) {
        const OptDef *def;
        const char *value;
        if (readOption(argc, argv, &i, &def, &value, err, errLen) != ParseResult::Ok)
            return ParseResult::Error;
        if (def->id == OPT_HELP) {
            *next = i + 1;
            return ParseResult::Help;
        }
        if (!(def->id & kGlobalOpts))
            return fail(err, errLen, "option %s belongs after a sub-command", def->name);
        if (applyGlobal(def, value, opt, err, errLen) != ParseResult::Ok) return ParseResult::Error;
    }
    *next = i;
    return ParseResult::Ok;
}

namespace {

ParseResult parseActionWords(int argc, char *const *argv, Options *opt, Action *act, char *err,
                             size_t errLen) {
    if (argc < 1) return fail(err, errLen, "no command given (try --help)");
    SubCmd sc;
    const CmdInfo *info;
    if (!lookupSubCmd(argv[0], &sc, &info)) {
        for (int i = 1; i < argc; ++i)
            if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0)
                return ParseResult::Help;  // act->word stays null: unknown
        return fail(err, errLen, "unknown command '%s' (try --help)", argv[0]);
    }
    act->word = sc.word;

    const char *pos[kMaxArgs];
    int npos = 0;
    const char *vals[kOptSlots] = {};
    unsigned seen = 0;
    for (int i = 1; i < argc; ++i) {
        if (!looksLikeOption(argv[i])) {
            if (npos == (int)kMaxArgs || npos >= sc.npos)
                return fail(err, errLen, "%s: unexpected argument '%s'", sc.word, argv[i]);
            pos[npos++] = argv[i];
            continue;
        }
        const OptDef *def;
        const char *value;
        if (readOption(argc, argv, &i, &def, &value, err, errLen) != ParseResult::Ok)
            return ParseResult::Error;
        if (def->id == OPT_HELP) return ParseResult::Help;
        if (def->id & kGlobalOpts) {
            if (!opt)
                return fail(err, errLen, "%s: option %s is only accepted on the command line",
                            sc.word, def->name);
            if (applyGlobal(def, value, opt, err, errLen) != ParseResult::Ok)
                return ParseResult::Error;
            continue;
        }
        if (!(sc.opts & def->id)) {
            if (def->id == OPT_RETRIES)
                return fail(err, errLen,
                            "%s: --retries is refused: this request is not safe to repeat", sc.word);
            return fail(err, errLen, "%s: option %s does not apply", sc.word, def->name);
        }
        if (seen & def->id) return fail(err, errLen, "%s: option %s given twice", sc.word, def->name);
        seen |= def->id;
        vals[slotOf(def->id)] = value;
    }
    if (npos < sc.npos) {
        static const char *const kWriteNames[4] = {"CHAIN", "C1", "C2", "C3"};
        const char *name = sc.shape == Shape::PaWrite  ? kWriteNames[npos]
                           : sc.shape == Shape::ByteArg ? "N"
                           : sc.shape == Shape::PaRead  ? "CHAIN"
                           : sc.shape == Shape::Raw     ? "CODE"
                           : sc.shape == Shape::Run     ? "PLAN"
                                                        : "SECONDS";
        return fail(err, errLen, "%s: missing argument %s", sc.word, name);
    }
    unsigned missing = sc.required & ~seen;
    if (missing) {
        unsigned id = missing & (~missing + 1);
        return fail(err, errLen, "%s: missing option %s", sc.word, optName(id));
    }

    Request &req = act->req;
    long long v;
    act->kind = ActionKind::Send;
    if (info) req.code = info->code;
    if (vals[slotOf(OPT_RETRIES)]) {
        if (!getNumber("retries", vals[slotOf(OPT_RETRIES)], 0, kMaxRetries, &v, err, errLen))
            return ParseResult::Error;
        act->retries = (unsigned)v;
    }

    switch (sc.shape) {
    case Shape::None:
        break;
    case Shape::ByteArg:
        if (!getNumber(req.code == CMD_SET_CHANNEL ? "channel" : "antenna", pos[0], 0, 255, &v,
                       err, errLen))
            return ParseResult::Error;
        req.byteArg = (uint8_t)v;
        break;
    case Shape::SetTx:
        if (!getRateBw(vals, &req, err, errLen) ||
            !getPower(vals[slotOf(OPT_POWER)], &req.value2, err, errLen))
            return ParseResult::Error;
        break;
    case Shape::StartRx:
        if (!getRateBw(vals, &req, err, errLen)) return ParseResult::Error;
        break;
    case Shape::Rx:
        act->kind = ActionKind::Rx;
        req.code = CMD_START_RX;
        if (!getRateBw(vals, &req, err, errLen) ||
            !getSeconds("seconds", vals[slotOf(OPT_SECONDS)], &act->waitMs, err, errLen))
            return ParseResult::Error;
        break;
    case Shape::PaRead:
    case Shape::PaWrite:
        if (!getNumber("chain", pos[0], 0, kMaxChain, &v, err, errLen)) return ParseResult::Error;
        req.chain = (uint8_t)v;
        if (sc.shape == Shape::PaWrite) {
            uint32_t *words[3] = {&req.value1, &req.value2, &req.value3};
            static const char *const kWhat[3] = {"coefficient C1", "coefficient C2",
                                                 "coefficient C3"};
            for (int k = 0; k < 3; ++k) {
                int16_t c;
                if (!getCoefficient(kWhat[k], pos[1 + k], &c, err, errLen))
                    return ParseResult::Error;
                *words[k] = (uint32_t)(int32_t)c;  // the agent reads the low 16 bits
            }
        }
        break;
    case Shape::Raw: {
        const CmdInfo *named = findCommandByWord(pos[0]);
        if (named) {
            req.code = named->code;
        } else {
            if (!getNumber("code", pos[0], 0, 255, &v, err, errLen)) return ParseResult::Error;
            req.code = (uint8_t)v;
        }
        struct {
            unsigned id;
            const char *what;
        } const words[3] = {{OPT_V1, "--v1"}, {OPT_V2, "--v2"}, {OPT_V3, "--v3"}};
        uint32_t *dst[3] = {&req.value1, &req.value2, &req.value3};
        for (int k = 0; k < 3; ++k) {
            const char *s = vals[slotOf(words[k].id)];
            if (!s) continue;
            if (!getNumber(words[k].what, s, -0x80000000LL, 0xFFFFFFFFLL, &v, err, errLen))
                return ParseResult::Error;
            *dst[k] = (uint32_t)v;
        }
        if (vals[slotOf(OPT_BYTE)]) {
            if (!getNumber("--byte", vals[slotOf(OPT_BYTE)], 0, 255, &v, err, errLen))
                return ParseResult::Error;
            req.byteArg = (uint8_t)v;
        }
        if (vals[slotOf(OPT_CHAIN)]) {
            if (!getNumber("--chain", vals[slotOf(OPT_CHAIN)], 0, 255, &v, err, errLen))
                return ParseResult::Error;
            req.chain = (uint8_t)v;
        }
        break;
    }
    case Shape::Listen:
        act->kind = ActionKind::Listen;
        break;
    case Shape::Run:
        act->kind = ActionKind::Run;
        if (strlen(pos[0]) >= sizeof act->path)
            return fail(err, errLen, "run: plan file name is too long");
        snprintf(act->path, sizeof act->path, "%s", pos[0]);
        break;
    case Shape::Sleep:
        act->kind = ActionKind::Sleep;
        if (!getSeconds("sleep", pos[0], &act->waitMs, err, errLen)) return ParseResult::Error;
        break;
    }
    return ParseResult::Ok;
}

}  // namespace

ParseResult parseAction(int argc, char *const *argv, Options *opt, Action *act, char *err,
                        size_t errLen) {
    memset(act, 0, sizeof *act);
    ParseResult r = parseActionWords(argc, argv, opt, act, err, errLen);
    if (r == ParseResult::Error && act->word) {
        // Name the sub-command in every message about its arguments.
        size_t n = strlen(act->word);
        if (strncmp(err, act->word, n) != 0 || err[n] != ':') {
            char msg[kErrLen];
            snprintf(msg, sizeof msg, "%s", err);
            snprintf(err, errLen, "%s: %s", act->word, msg);
        }
    }
    return r;
}

// ---- test plans ----------------------------------------------------------

ParseResult parsePlanLine(char *line, bool *isStep, Action *act, char *err, size_t errLen) {
    char *words[kMaxArgs];
    int n = 0;
    *isStep = false;
    for (char *p = line;;) {
        while (*p && isspace((unsigned char)*p)) ++p;
        if (*p == '\0' || *p == '#') break;  // a word starting with # begins a comment
        if (n == (int)kMaxArgs) return fail(err, errLen, "too many words");
        words[n++] = p;
        while (*p && !isspace((unsigned char)*p)) ++p;
        if (*p) *p++ = '\0';
    }
    if (n == 0) return ParseResult::Ok;
    ParseResult r = parseAction(n, words, nullptr, act, err, errLen);
    if (r == ParseResult::Help) return fail(err, errLen, "%s: --help is not a plan step", words[0]);
    if (r != ParseResult::Ok) return r;
    if (act->kind == ActionKind::Run || act->kind == ActionKind::Listen)
        return fail(err, errLen, "%s cannot be used inside a plan", act->word);
    *isStep = true;
    return ParseResult::Ok;
}

bool loadPlan(FILE *in, const char *name, std::vector<PlanStep> *steps, char *err, size_t errLen) {
    char line[kMaxPlanLine + 2];
    char msg[kErrLen];
    int lineNo = 0;
    steps->clear();
    while (fgets(line, sizeof line, in)) {
        ++lineNo;
        size_t len = strlen(line);
        if (len == sizeof line - 1 && line[len - 1] != '\n' && !feof(in)) {
            snprintf(err, errLen, "%s:%d: line longer than %zu characters", name, lineNo,
                     kMaxPlanLine);
            return false;
        }
        PlanStep step;
        bool isStep;
        if (parsePlanLine(line, &isStep, &step.action, msg, sizeof msg) != ParseResult::Ok) {
            snprintf(err, errLen, "%s:%d: %s", name, lineNo, msg);
            return false;
        }
        if (!isStep) continue;
        step.line = lineNo;
        steps->push_back(step);
    }
    if (ferror(in)) {
        snprintf(err, errLen, "%s: read error", name);
        return false;
    }
    if (steps->empty()) {
        snprintf(err, errLen, "%s: the plan has no command", name);
        return false;
    }
    return true;
}

// ---- output --------------------------------------------------------------

void formatReplyText(const Reply &r, bool generic, int chain, char *buf, size_t len) {
    const char *word = commandWord(r.code);
    if (generic || !word) {
        snprintf(buf, len,
                 "%s (0x%02x): byte=%u value1=%u (0x%08x) value2=%u (0x%08x) value3=%u (0x%08x) "
                 "half=%u",
                 word ? word : "no command", r.code, r.byteArg, r.value1, r.value1, r.value2,
                 r.value2, r.value3, r.value3, r.half);
        return;
    }
    switch (r.code) {
    case CMD_ENTER_TEST_MODE:
        if (r.value1 == 1)
            snprintf(buf, len, "%s: ok", word);
        else
            snprintf(buf, len, "%s: ok (reply value1=%u, expected 1)", word, r.value1);
        break;
    case CMD_STOP_RX:
        if ((int32_t)r.value1 < 0)
            snprintf(buf, len,
                     "%s: received %u frames (negative as a signed 32-bit number: %d; the counter "
                     "went down since start-rx)",
                     word, r.value1, (int32_t)r.value1);
        else
            snprintf(buf, len, "%s: received %u frames", word, r.value1);
        break;
    case CMD_READ_PA_PARAMS: {
        const uint32_t v[3] = {r.value1, r.value2, r.value3};
        int n = chain >= 0 ? snprintf(buf, len, "%s chain %d:", word, chain)
                           : snprintf(buf, len, "%s:", word);
        for (int k = 0; k < 3 && n >= 0 && (size_t)n < len; ++k)
            n += snprintf(buf + n, len - (size_t)n, "\n  pa%d = %u (0x%08x, signed 16-bit %d)",
                          k + 1, v[k], v[k], lowSigned16(v[k]));
        break;
    }
    default:
        snprintf(buf, len, "%s: ok", word);
        break;
    }
}

void formatReplyJson(const Reply &r, const char *from, char *buf, size_t len) {
    const char *word = commandWord(r.code);
    char cmd[32], src[64];
    if (word)
        snprintf(cmd, sizeof cmd, "\"%s\"", word);
    else
        snprintf(cmd, sizeof cmd, "null");
    if (from)
        snprintf(src, sizeof src, "\"%s\"", from);
    else
        snprintf(src, sizeof src, "null");
    int n = snprintf(buf, len,
                     "{\"cmd\":%s,\"code\":%u,\"from\":%s,\"byte\":%u,\"value1\":%u,\"value2\":%u,"
                     "\"value3\":%u,\"half\":%u",
                     cmd, r.code, src, r.byteArg, r.value1, r.value2, r.value3, r.half);
    if (n < 0 || (size_t)n >= len) return;
    if (r.code == CMD_STOP_RX)
        n += snprintf(buf + n, len - (size_t)n, ",\"count\":%u,\"count_signed\":%d", r.value1,
                      (int32_t)r.value1);
    else if (r.code == CMD_READ_PA_PARAMS)
        n += snprintf(buf + n, len - (size_t)n, ",\"pa\":[%d,%d,%d]", lowSigned16(r.value1),
                      lowSigned16(r.value2), lowSigned16(r.value3));
    if (n >= 0 && (size_t)n < len) snprintf(buf + n, len - (size_t)n, "}");
}

}  // namespace station
