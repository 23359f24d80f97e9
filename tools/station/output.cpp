// rfprobe station: reply text, reply JSON and the request bytes.
#include "station/output.h"

#include <cstdio>

#include "station/command.h"

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

void formatReplyJson(const TestMsg &r, const char *from, char *buf, size_t len) {
    const Command *c = commandForCode(r.cmdType);
    char cmd[32], src[64];
    if (c)
        snprintf(cmd, sizeof cmd, "\"%s\"", c->word);
    else
        snprintf(cmd, sizeof cmd, "null");
    if (from)
        snprintf(src, sizeof src, "\"%s\"", from);
    else
        snprintf(src, sizeof src, "null");
    int n = snprintf(buf, len,
                     "{\"cmd\":%s,\"code\":%u,\"from\":%s,\"byte\":%u,\"value1\":%u,\"value2\":%u,"
                     "\"value3\":%u,\"half\":%u",
                     cmd, r.cmdType, src, r.byteArg, r.value1, r.value2, r.value3,
                     station::replyHalf(r));
    if (n < 0 || (size_t)n >= len) return;
    ReplyView view = c ? c->view : ReplyView::Fields;
    if (view == ReplyView::Count)
        n += snprintf(buf + n, len - (size_t)n, ",\"count\":%u,\"count_signed\":%d", r.value1,
                      (int32_t)r.value1);
    else if (view == ReplyView::Coefficients)
        n += snprintf(buf + n, len - (size_t)n, ",\"pa\":[%d,%d,%d]", lowSigned16(r.value1),
                      lowSigned16(r.value2), lowSigned16(r.value3));
    if (n >= 0 && (size_t)n < len) snprintf(buf + n, len - (size_t)n, "}");
}

void printReply(const Options &opt, const TestMsg &r, const char *from, bool generic, int chain) {
    char line[512];
    if (opt.json)
        formatReplyJson(r, from, line, sizeof line);
    else
        formatReplyText(r, generic, chain, line, sizeof line);
    printf("%s\n", line);
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
