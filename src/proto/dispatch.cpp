#include "proto/dispatch.h"

#include "proto/reply.h"
#include "util/log.h"

static const CmdEntry *findCmd(const CmdTable &commands, uint8_t code)
{
    if (code < kCmdFirst || code > kCmdLast)
        return nullptr;
    const CmdEntry *e = &commands[code - kCmdFirst];
    return e->run != nullptr ? e : nullptr;
}

static void sendAnswer(ReplyForm form, const TestMsg &m)
{
    if (form == kReplyParams)
        sendTestParamReply(m.cmdType, m.value1, m.value2, m.value3);
    else
        sendTestReply(m.cmdType, m.byteArg, m.value1, replyHalf(m));
}

bool handleTestFrame(const CmdTable &commands, const uint8_t *frame, size_t caplen)
{
    caplen = requestEnd(frame, caplen);  // Ethernet padding is not the request's
    if (caplen < kNeedCmd)
        return true;
    const uint8_t *msg = frame + kFramePayloadOff;
    size_t len = caplen - kFramePayloadOff;
    if (!hasTestMagic(msg, len))
        return true;

    uint8_t code = msg[kMsgOffCmd];
    const CmdEntry *e = findCmd(commands, code);
    if (e != nullptr && caplen < e->need)
        return true;

    rfLog("--cmdType = %x", (unsigned)code);
    if (e == nullptr)
        return true;

    // Fields past the captured bytes decode as zero; the row's need keeps
    // the command from reading any of them.
    CmdAnswer answer = {};
    answer.msg.cmdType = code;
    e->run(decodeTestMsg(msg, len), &answer);
    if (!answer.reply)
        return true;
    sendAnswer(e->form, answer.msg);
    if (answer.afterReply != nullptr)
        answer.afterReply();
    return !answer.endServing;
}
