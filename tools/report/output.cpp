// The HTML report from a store to a file; see output.h.
#include "report/output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "report/aggregate.h"
#include "report/data.h"
#include "report/html.h"
#include "results/report.h"

namespace report {

namespace {

bool writeAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += (size_t)n;
    }
    return true;
}

}  // namespace

void writeOutput(const std::string &path, const std::string &bytes) {
    if (path == "-") {
        if (fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || fflush(stdout) != 0)
            throw OutputError(std::string("cannot write the report to standard output: ") + strerror(errno));
        return;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A device or a pipe (/dev/stdout, a FIFO): written to as it is;
        // renaming a file over it would replace the device itself.
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        bool ok = fd >= 0 && writeAll(fd, bytes);
        int err = errno;
        if (fd >= 0 && close(fd) != 0 && ok) {
            ok = false;
            err = errno;
        }
        if (!ok) throw OutputError("cannot write " + path + ": " + strerror(err));
        return;
    }
    // A link to a file: the file is replaced, the link stays.
    std::string target = path;
    if (char *real = realpath(path.c_str(), nullptr)) {
        target = real;
        free(real);
    }
    std::string tmp = target + ".XXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0) throw OutputError("cannot write " + path + ": " + strerror(errno));
    // mkstemp makes the file 0600; a report is as readable as any new file.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    bool ok = writeAll(fd, bytes);
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        throw OutputError("cannot write " + path + ": " + strerror(err));
    }
}

HtmlResult writeHtmlReport(results::Store &store, const results::RecordFilter &filter, const Zone &zone,
                           const std::vector<std::string> &filters, const std::string &path) {
    Dataset d = readStore(store, filter);
    Report r = aggregate(d, zone);
    r.filters = filters;
    std::string page = htmlPage(r);
    writeOutput(path, page);
    HtmlResult out;
    out.records = (int64_t)d.records.size();
    out.bytes = page.size();
    return out;
}

std::string textReport(results::Store &store, const results::RecordFilter &filter, const Zone &zone) {
    if (zone.isUtc()) return results::formatReport(store, filter);
    return results::formatReport(store, filter, zone.name(),
                                 yieldByPlanDay(readStore(store, filter, Rows::RecordsOnly), zone));
}

}  // namespace report
