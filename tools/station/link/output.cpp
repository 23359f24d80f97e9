// rfprobe station: reply text, reply JSON and the request bytes.
#include "station/link/output.h"

#include <cstdio>
#include <initializer_list>

#include "format/json.h"
#include "station/args/command.h"

namespace station {

void formatReplyText(const TestMsg &r, bool generic, int chain, char *buf, size_t len) {
    const Command *c = commandForCode(r.cmdType);
    const char *word = c ? c->word : nullptr;
    switch (generic || !c ? ReplyView::Fields : c->view) {
    case ReplyView::Fields:
        snprintf(buf, len,
                 "%s (0x%02x): byte=%u value1=%u (0x%08x) value2=%u (0x%08x) value3=%u (0x%08x) "
                 "half=%u",
                 word ? word : "no command", r.cmdType, r.byteArg, r.value1, r.value1, r.value2,
                 r.value2, r.value3, r.value3, station::replyHalf(r));
        break;
    case ReplyView::ValueOne:
        if (r.value1 == 1)
            snprintf(buf, len, "%s: ok", word);
        else
            snprintf(buf, len, "%s: ok (reply value1=%u, expected 1)", word, r.value1);
        break;
    case ReplyView::Count:
        if ((int32_t)r.value1 < 0)
            snprintf(buf, len,
                     "%s: received %u frames (negative as a signed 32-bit number: %d; the counter "
                     "went down since start-rx)",
                     word, r.value1, (int32_t)r.value1);
        else
            snprintf(buf, len, "%s: received %u frames", word, r.value1);
        break;
    case ReplyView::Coefficients: {
        const uint32_t v[3] = {r.value1, r.value2, r.value3};
        int n = chain >= 0 ? snprintf(buf, len, "%s chain %d:", word, chain)
                           : snprintf(buf, len, "%s:", word);
        for (int k = 0; k < 3 && n >= 0 && (size_t)n < len; ++k)
            n += snprintf(buf + n, len - (size_t)n, "\n  pa%d = %u (0x%08x, signed 16-bit %d)",
                          k + 1, v[k], v[k], lowSigned16(v[k]));
        break;
    }
    case ReplyView::Ok:
        snprintf(buf, len, "%s: ok", word);
        break;
    }
}

std::string formatReplyJson(const TestMsg &r, const char *from) {
    const Command *c = commandForCode(r.cmdType);
    format::Json j;
    j.open('{');
    j.key("cmd");
    if (c)
        j.str(c->word);
    else
        j.null();
    j.key("code"), j.integer(r.cmdType);
    j.key("from");
    if (from)
        j.str(from);
    else
        j.null();
    j.key("byte"), j.integer(r.byteArg);
    j.key("value1"), j.integer(r.value1);
    j.key("value2"), j.integer(r.value2);
    j.key("value3"), j.integer(r.value3);
    j.key("half"), j.integer(station::replyHalf(r));
    ReplyView view = c ? c->view : ReplyView::Fields;
    if (view == ReplyView::Count) {
        j.key("count"), j.integer(r.value1);
        j.key("count_signed"), j.integer((int32_t)r.value1);
    } else if (view == ReplyView::Coefficients) {
        j.key("pa");
        j.open('[');
        for (uint32_t v : {r.value1, r.value2, r.value3}) j.integer(lowSigned16(v));
        j.close(']');
    }
    j.close('}');
    return j.done();
}

void printReply(const Options &opt, const TestMsg &r, const char *from, bool generic, int chain) {
    if (opt.json) {
        printf("%s\n", formatReplyJson(r, from).c_str());
    } else {
        char line[512];
        formatReplyText(r, generic, chain, line, sizeof line);
        printf("%s\n", line);
    }
    fflush(stdout);
}

void formatRequest(const TestMsg &req, char *buf, size_t len) {
    uint8_t b[kReqPayloadLen];
    encodeTestMsg(req, b, sizeof b);
    int n = snprintf(buf, len, "request to port %u:", kTestReqPort);
    for (size_t i = 0; i < sizeof b && n >= 0 && (size_t)n < len; ++i)
        n += snprintf(buf + n, len - (size_t)n, " %02x", b[i]);
}

}  // namespace station
