// The live board of a run of several units (see board.h).
#include "line/board.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "format/table.h"

namespace line {

namespace {

// The terminal's width; 80 when it cannot be told.
size_t terminalColumns() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

// A row cut to `columns` characters (UTF-8 aware): what a terminal of that
// width shows on one line.
std::string cut(const std::string &row, size_t columns) {
    size_t n = 0;
    for (size_t i = 0; i < row.size(); ++i) {
        bool starts = ((unsigned char)row[i] & 0xC0) != 0x80;  // not a continuation byte
        if (starts && n++ == columns) return row.substr(0, i);
    }
    return row;
}

}  // namespace

Board::Board(const std::vector<Unit> &units, size_t steps, bool live)
    : units_(units), lines_(units.size(), "waiting"), steps_(steps), live_(live) {
    for (const Unit &u : units) {
        ifWidth_ = std::max(ifWidth_, u.iface.size());
        snWidth_ = std::max(snWidth_, u.serial.size());
    }
    if (live_) {
        std::lock_guard<std::mutex> held(mu_);
        draw(false);
    }
}

void Board::stepStarting(size_t u, size_t index, const station::PlanStep &s,
                         station::Verdict sofar) {
    if (!live_) return;
    char text[160];
    snprintf(text, sizeof text, "%zu/%zu  line %d %-14s %s", index + 1, steps_, s.planLine,
             s.action.cmd->word, sofar == station::Verdict::Pass ? "PASS so far" : station::verdictName(sofar));
    set(u, text);
}

void Board::stepDone(size_t u, const station::PlanStep &s, const station::StepResult &r) {
    if (!live_) plain(u, describeStep(s, r));
}

void Board::note(size_t u, const std::string &text) {
    message("rfprobe: " + units_[u].iface + " " + units_[u].serial + ": " + text);
}

void Board::message(const std::string &line) {
    std::lock_guard<std::mutex> held(mu_);
    if (!live_ || !isatty(STDERR_FILENO)) {
        fprintf(stderr, "%s\n", line.c_str());
        return;
    }
    // Over the first row: the message (it may wrap: nothing goes back above
    // it), the rest of its last line cleared, then the rows again below it.
    // Each line is cleared on its own, not the screen: a terminal may keep a
    // cleared screen in its scrollback.
    printf("\033[%zuA\r\033[2K", units_.size());
    fflush(stdout);
    fputs(line.c_str(), stderr);
    fflush(stderr);
    printf("\033[K\n");
    draw(false);
}

void Board::finished(size_t u, const std::string &text) {
    if (live_)
        set(u, text);
    else
        plain(u, text);
}

std::string Board::head(size_t u) const {
    char buf[160];
    snprintf(buf, sizeof buf, "%-*s  %-*s", (int)ifWidth_, units_[u].iface.c_str(), (int)snWidth_,
             units_[u].serial.c_str());
    return buf;
}

void Board::plain(size_t u, const std::string &text) {
    std::lock_guard<std::mutex> held(mu_);
    printf("%s %s: %s\n", units_[u].iface.c_str(), units_[u].serial.c_str(), text.c_str());
    fflush(stdout);
}

void Board::set(size_t u, const std::string &text) {
    std::lock_guard<std::mutex> held(mu_);
    lines_[u] = text;
    draw(true);
}

void Board::draw(bool rewind) {
    // One column short of the width: a row that fills the last column
    // leaves some terminals at the start of the next line.
    size_t columns = terminalColumns();
    columns = columns > 1 ? columns - 1 : 1;
    if (rewind) printf("\033[%zuA", units_.size());
    for (size_t i = 0; i < units_.size(); ++i)
        printf("\r\033[2K%s\n", cut(format::oneLine(row(i)), columns).c_str());
    fflush(stdout);
}

}  // namespace line
