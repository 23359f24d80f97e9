// rfprobe station: test plans.
#include "station/runner/plan.h"

#include <cctype>
#include <cstring>

#include "station/args/numbers.h"
#include "station/step/step.h"

namespace station {

ParseResult parsePlanLine(char *line, bool *isStep, Action *act, char *err, size_t errLen,
                          std::vector<std::string> *args) {
    char *words[kMaxArgs];
    int n = 0;
    *isStep = false;
    for (char *p = line;;) {
        while (*p && isspace((unsigned char)*p)) ++p;
        if (*p == '\0' || *p == '#') break;  // a word starting with # begins a comment
        if (n == (int)kMaxArgs) {
            fail(err, errLen, "too many words");
            return ParseResult::Error;
        }
        words[n++] = p;
        while (*p && !isspace((unsigned char)*p)) ++p;
        if (*p) *p++ = '\0';
    }
    if (n == 0) return ParseResult::Ok;
    if (args) args->assign(words + 1, words + n);
    ParseResult r = parseAction(n, words, nullptr, act, err, errLen);
    if (r == ParseResult::Help) {
        fail(err, errLen, "%s: --help is not a plan step", words[0]);
        return ParseResult::Error;
    }
    if (r != ParseResult::Ok) return r;
    if (!act->cmd->planStep()) {
        fail(err, errLen, "%s cannot be used inside a plan", act->cmd->word);
        return ParseResult::Error;
    }
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
        if (parsePlanLine(line, &isStep, &step.action, msg, sizeof msg, &step.args) !=
            ParseResult::Ok) {
            snprintf(err, errLen, "%s:%d: %s", name, lineNo, msg);
            return false;
        }
        if (!isStep) continue;
        step.planLine = lineNo;
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
    // What a step needs earlier in the plan (station/step/step.h), on the
    // radio as the steps before it leave it: the tester is set to the
    // channel the radio has.
    RadioState radio;
    for (const PlanStep &s : *steps) {
        const Action &a = s.action;
        const StepDef *def = a.cmd->step;
        unsigned needs = def ? def->needs : 0;
        const char *need = (needs & kNeedsTx) && !radio.txSet          ? "a set-tx after a set-channel"
                           : (needs & kNeedsChannel) && radio.channel < 0 ? "a set-channel"
                                                                          : nullptr;
        if (need) {
            snprintf(err, errLen, "%s:%d: %s needs %s earlier in the plan (the tester is set to "
                                  "the radio's channel)",
                     name, s.planLine, a.cmd->word, need);
            return false;
        }
        if (def && def->effect) def->effect(a, radio);
    }
    return true;
}

}  // namespace station
