// Rewriting one unit's loss table in the station's fixture file (fixture-cal).
// The file is people's too: their comments, the other units and the
// tester's lines stay as they were, byte for byte; only the lines of the
// unit's `loss = [...]` change.  The file is replaced whole or not at all.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "instrument/fixture.h"
#include "instrument/toml_read.h"

namespace instrument {

namespace {

std::string trimmed(const std::string &s) {
    size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? "" : s.substr(a, b + 1 - a);
}

// The table a header line opens ("units.eth1" for `[units."eth1"]  # x`),
// or "" when the line is no single-bracket header.
std::string headerName(const std::string &line) {
    std::string t = trimmed(line);
    if (t.size() < 2 || t[0] != '[' || t[1] == '[') return "";
    size_t close = t.find(']');
    if (close == std::string::npos) return "";
    std::string name;
    for (char c : t.substr(1, close - 1))
        if (c != ' ' && c != '\t' && c != '"' && c != '\'') name += c;
    return name;
}

// A table header ([name], [[name]]), not a line of a list written over
// several lines ([2412, 1.2],).
bool startsTable(const std::string &line) {
    std::string t = trimmed(line);
    size_t k = t.compare(0, 2, "[[") == 0 ? 2 : 1;
    return !t.empty() && t[0] == '[' && k < t.size() &&
           (isalpha((unsigned char)t[k]) || t[k] == '_' || t[k] == '"' || t[k] == '\'');
}

bool isLossKey(const std::string &line) {
    std::string t = trimmed(line);
    if (t.compare(0, 4, "loss") != 0) return false;
    std::string rest = trimmed(t.substr(4));
    return !rest.empty() && rest[0] == '=';
}

// The line and column just after the `]` that closes the array opened on
// lines[from] (comments skipped); false when it does not close.
bool arrayEnd(const std::vector<std::string> &lines, size_t from, size_t *line, size_t *col) {
    int depth = 0;
    bool opened = false;
    for (size_t i = from; i < lines.size(); ++i) {
        const std::string &l = lines[i];
        size_t k = i == from ? l.find('=') + 1 : 0;
        for (; k < l.size() && l[k] != '#'; ++k) {
            if (l[k] == '[') depth++, opened = true;
            if (l[k] == ']' && --depth == 0 && opened) {
                *line = i;
                *col = k + 1;
                return true;
            }
        }
    }
    return false;
}

std::string lossText(const std::vector<std::pair<double, double>> &points) {
    std::string s = "loss = [";
    for (size_t i = 0; i < points.size(); ++i) {
        char b[64];
        snprintf(b, sizeof b, "%s[%g, %.2f]", i ? ", " : "", points[i].first, points[i].second);
        s += b;
    }
    return s + "]";
}

// The text reads back as this loss for the unit.
bool readsBack(const std::string &text, const std::string &path, const std::string &iface,
               const std::vector<std::pair<double, double>> &points, std::string *err) {
    TomlDoc doc;
    if (!doc.parse(text, path, err)) return false;
    const toml::node *units = doc.root().get("units");
    const toml::node *u = units && units->as_table() ? units->as_table()->get(iface) : nullptr;
    const toml::node *loss = u && u->as_table() ? u->as_table()->get("loss") : nullptr;
    const toml::array *a = loss ? loss->as_array() : nullptr;
    bool same = a && a->size() == points.size();
    for (size_t i = 0; same && i < points.size(); ++i) {
        const toml::array *pt = (*a)[i].as_array();
        same = pt && pt->size() == 2 &&
               std::fabs((*pt)[0].value<double>().value_or(NAN) - points[i].first) < 1e-6 &&
               std::fabs((*pt)[1].value<double>().value_or(NAN) - points[i].second) < 0.006;
    }
    if (!same) *err = path + ": units." + iface + ".loss: the rewritten table does not read back (nothing was written)";
    return same;
}

}  // namespace

bool replaceLossText(const std::string &text, const std::string &path, const std::string &iface,
                     const std::vector<std::pair<double, double>> &points, std::string *out,
                     std::string *err) {
    if (points.empty()) {
        *err = path + ": units." + iface + ".loss: no points to write";
        return false;
    }
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    size_t head = lines.size();
    for (size_t i = 0; i < lines.size() && head == lines.size(); ++i)
        if (headerName(lines[i]) == "units." + iface) head = i;
    if (head == lines.size()) {
        *err = path + ": no table [units." + iface + "] to rewrite (a unit written inline is not rewritten)";
        return false;
    }
    size_t end = head + 1;
    while (end < lines.size() && !startsTable(lines[end])) ++end;
    size_t key = end;
    for (size_t i = head + 1; i < end && key == end; ++i)
        if (isLossKey(lines[i])) key = i;
    std::vector<std::string> outLines(lines.begin(), lines.begin() + (long)head + 1);
    if (key == end) {
        outLines.push_back(lossText(points));
        outLines.insert(outLines.end(), lines.begin() + (long)head + 1, lines.end());
    } else {
        size_t last, col;
        if (!arrayEnd(lines, key, &last, &col) || last >= end) {
            *err = path + ":" + std::to_string(key + 1) + ": units." + iface + ".loss: its list does not close";
            return false;
        }
        outLines.insert(outLines.end(), lines.begin() + (long)head + 1, lines.begin() + (long)key);
        std::string indent = lines[key].substr(0, lines[key].find_first_not_of(" \t"));
        outLines.push_back(indent + lossText(points) + lines[last].substr(col));
        outLines.insert(outLines.end(), lines.begin() + (long)last + 1, lines.end());
    }
    std::string result;
    for (const std::string &l : outLines) result += l + "\n";
    if (!text.empty() && text.back() != '\n') result.pop_back();
    if (!readsBack(result, path, iface, points, err)) return false;
    *out = result;
    return true;
}

bool canRewriteFixture(const std::string &path, std::string *err) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        *err = path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *err = path + ": not a regular file (a link or a device cannot be replaced atomically; "
                      "give the file itself)";
        return false;
    }
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        *err = path + ": cannot be rewritten atomically: its directory " + dir + " is not writable (" +
               strerror(errno) + ")";
        return false;
    }
    return true;
}

bool rewriteFixtureLoss(const std::string &path, const std::string &iface,
                        const std::vector<std::pair<double, double>> &points, std::string *err) {
    std::string text, next;
    if (!canRewriteFixture(path, err) || !readWhole(path, &text, err)) return false;
    if (!replaceLossText(text, path, iface, points, &next, err)) return false;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *err = path + ": " + strerror(errno);
        return false;
    }
    std::string tmp = path + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        *err = path + ": cannot make a temporary file beside it: " + strerror(errno);
        return false;
    }
    // The new file is the old one's: its owner (where this process may
    // give it away, as root may), its group (the operators who share it)
    // and then its mode, which a change of owner may have cut.
    bool ok = (fchown(fd, st.st_uid, st.st_gid) == 0 || fchown(fd, (uid_t)-1, st.st_gid) == 0) &&
              fchmod(fd, st.st_mode & 07777) == 0;
    for (size_t at = 0; ok && at < next.size();) {
        ssize_t n = write(fd, next.data() + at, next.size() - at);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        at += ok ? (size_t)n : 0;
    }
    ok = ok && fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(name.data(), path.c_str()) != 0) ok = false, saved = errno;
    if (!ok) {
        unlink(name.data());
        *err = path + ": not rewritten (" + strerror(saved) + "); the file is as it was";
        return false;
    }
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);  // the rename itself reaches the disk
        close(dfd);
    }
    return true;
}

}  // namespace instrument
