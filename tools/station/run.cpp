// rfprobe station: running sub-commands and plans.
#include "station/run.h"

#include <errno.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "station/output.h"

namespace station {

namespace {

// Sends one request and prints its reply.
int send(const Link &l, const Options &opt, const char *name, const TestMsg &req,
         unsigned retries, bool generic) {
    TestMsg reply;
    char from[kFromLen];
    int rc = exchange(l, opt, name, req, retries, &reply, from);
    if (rc != kExitOk) return rc;
    const Command *asked = commandForCode(req.cmdType);
    int chain = asked && asked->view == ReplyView::Coefficients ? req.chain : -1;
    printReply(opt, reply, from, generic, chain);
    return kExitOk;
}

// start-rx (the action's request), the wait, then stop-rx, also when the
// wait was interrupted.
int receiveTest(const Link &l, const Options &opt, const Action &a) {
    int rc = send(l, opt, commandWord(a.req.cmdType), a.req, 0, false);
    if (rc != kExitOk) return rc;
    if (opt.verbose) fprintf(stderr, "rfprobe: receiving for %u ms\n", a.waitMs);
    bool whole = waitMs(a.waitMs);
    if (!whole) {
        fprintf(stderr, "rfprobe: rx: wait interrupted, stopping the receive test\n");
        clearInterrupt();
    }
    TestMsg stop{};
    stop.cmdType = CMD_STOP_RX;
    rc = send(l, opt, commandWord(CMD_STOP_RX), stop, 0, false);
    return rc == kExitOk && !whole ? kExitInterrupted : rc;
}

int listen(const Link &l, const Options &opt) {
    TestMsg reply;
    char from[kFromLen];
    int status = kExitOk;
    while (nextReply(l, opt, &reply, from, &status)) printReply(opt, reply, from, true, -1);
    return status;
}

int runPlan(const Options &opt, const Action &a) {
    FILE *in = strcmp(a.path, "-") == 0 ? stdin : fopen(a.path, "r");
    if (!in) {
        fprintf(stderr, "rfprobe: run: cannot open %s: %s\n", a.path, strerror(errno));
        return kExitUsage;
    }
    const char *name = in == stdin ? "<stdin>" : a.path;
    std::vector<PlanStep> steps;
    char err[kErrLen];
    bool ok = loadPlan(in, name, &steps, err, sizeof err);
    if (in != stdin) fclose(in);
    if (!ok) {
        fprintf(stderr, "rfprobe: %s (nothing was sent)\n", err);
        return kExitUsage;
    }
    Link l;
    int rc = openLink(opt, &l);
    if (rc != kExitOk) return rc;
    for (const PlanStep &s : steps) {
        const char *word = s.action.cmd->word;
        if (opt.verbose) fprintf(stderr, "rfprobe: %s:%d: %s\n", name, s.line, word);
        rc = runAction(l, opt, s.action);
        if (rc != kExitOk) {
            fprintf(stderr, "rfprobe: plan %s stopped at line %d (%s), exit status %d\n", name,
                    s.line, word, rc);
            break;
        }
    }
    closeLink(&l);
    return rc;
}

}  // namespace

int runAction(const Link &l, const Options &opt, const Action &a) {
    const Command &c = *a.cmd;
    switch (c.kind) {
    case ActionKind::Send:
        return send(l, opt, c.word, a.req, a.retries, c.view == ReplyView::Fields);
    case ActionKind::Rx:
        return receiveTest(l, opt, a);
    case ActionKind::Sleep:
        return waitMs(a.waitMs) ? kExitOk : kExitInterrupted;
    case ActionKind::Listen:
    case ActionKind::Run:
        break;
    }
    return kExitUsage;
}

int execute(const Options &opt, const Action &a) {
    switch (a.cmd->kind) {
    case ActionKind::Run:
        return runPlan(opt, a);
    case ActionKind::Sleep:
        return runAction(Link{}, opt, a);
    default:
        break;
    }
    Link l;
    int rc = openLink(opt, &l);
    if (rc != kExitOk) return rc;
    rc = a.cmd->kind == ActionKind::Listen ? listen(l, opt) : runAction(l, opt, a);
    closeLink(&l);
    return rc;
}

}  // namespace station
