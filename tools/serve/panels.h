// The operator page's model: one panel per unit (its serial, its run step
// by step, its verdict), the last units tested, and a version that every
// change moves on, so that a page that (re)connects gets the whole state
// and then each change.  Runs go through line::UnitRun, as `rfprobe run
// --unit` runs them: the same records, store and spool.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line/unit.h"
#include "results/store.h"
#include "station/link/transport.h"

namespace serve {

struct UnitSlot {
    std::string iface;
    std::string label;  // what the page calls it; the interface by default
    // Its port and path loss on the shared tester (the fixture's entry for
    // its interface); null without a fixture or an entry.
    const instrument::FixtureUnit *cable = nullptr;
};

// The one answer to a scan whose golden check is read beside the page:
// the check's result or the page's time running out, whichever claims it
// first.
class ScanTicket {
  public:
    // True for the first caller only.
    bool claim() {
        std::lock_guard<std::mutex> g(mu_);
        if (claimed_) return false;
        claimed_ = true;
        return true;
    }

    bool claimed() {
        std::lock_guard<std::mutex> g(mu_);
        return claimed_;
    }

  private:
    std::mutex mu_;
    bool claimed_ = false;
};

class Panels {
  public:
    // setup: the record options (station, operator, metadata, store); its
    // units are replaced by the unit of each run.  tester: the fixture's
    // tester that the units share, one at a time, as run's units do; null
    // without a fixture.
    Panels(const station::Options &opt, const line::Setup &setup, const line::Plan &plan,
           results::Store &store, std::vector<UnitSlot> slots,
           line::SharedTester *tester = nullptr);
    ~Panels();

    // Starts unit u's run for serial.  Returns "" or why not (a bad
    // serial, a busy unit, the station closing); nothing is sent then.
    // Under --require-golden it reads the store: see startChecked.
    std::string start(size_t u, const std::string &serial);
    // Under --require-golden (checksGolden()): start() with the port's
    // golden check read on the Panels' own thread, never the caller's.
    // done(why) follows from that thread unless the ticket was claimed
    // first (the page's time ran out): the run then does not start.
    bool checksGolden() const;
    std::shared_ptr<ScanTicket> startChecked(size_t u, const std::string &serial,
                                             std::function<void(const std::string &)> done);
    // Ends unit u's run as an interrupt would; false when it is not running.
    bool stop(size_t u);

    // The whole state as one JSON document, and its version.
    std::string snapshot(uint64_t *version);
    // Waits up to ms for a version other than *seen; true with the new
    // snapshot, false on time-out or when closing.
    bool waitChange(uint64_t *seen, int ms, std::string *snap);
    bool closing();

    // No new runs; waits for the running ones to end (an interrupt ends
    // them) and wakes every waiter.  Returns the worst exit status of the
    // records kept (kExitStore when one could not be kept).
    int close();

    size_t count() const { return slots_.size(); }

    // The bus outbox's depth, for the page (the bus's sender reports it).
    void busDepth(size_t n);

  private:
    struct Run;
    struct Panel;
    void changed();  // with mu_ held
    // Under --require-golden: why unit u's port is locked, or "" (reads the store).
    std::string lockOf(size_t u);
    // Why a scan of serial on unit u cannot start ("" when it can), with
    // mu_ held; locked: the golden lock's message.
    std::string refusal(size_t u, const std::string &serial, const std::string &locked);
    // start() once the port's golden lock is known.
    std::string begin(size_t u, const std::string &serial, const std::string &locked,
                      const std::map<std::string, std::string> &routeMeta = {});
    // The golden lock, then the bus's route check for serial (its answer
    // for the record in *routeMeta, advisory); "" when the unit may run.
    std::string gate(size_t u, const std::string &serial, std::map<std::string, std::string> *routeMeta);
    // The thread that reads the golden checks for startChecked.
    void checkScans();
    // A run's thread has ended: the panel shows its verdict.
    void finished(Run *r);

    station::Options opt_;
    const line::Setup &setup_;
    const line::Plan &plan_;
    results::Store &store_;
    std::vector<UnitSlot> slots_;
    line::SharedTester *tester_;
    std::vector<std::unique_ptr<Panel>> panels_;
    struct Done {
        std::string serial, unit, verdict, record, endedAt;
    };
    std::deque<Done> history_;
    // Each serial's attempts so far and its last verdict: a retest is shown
    // as one.  Forgotten all at once past kAttemptsKept serials.
    struct Tries {
        int attempts = 0;
        std::string last;
    };
    std::map<std::string, Tries> tries_;
    std::mutex mu_;
    std::condition_variable cv_;
    uint64_t version_ = 1;
    bool closing_ = false;
    int worst_ = station::kExitOk;
    size_t busDepth_ = 0;
    // The scans waiting for their golden check, and its thread.
    struct Check {
        size_t u;
        std::string serial;
        std::shared_ptr<ScanTicket> ticket;
        std::function<void(const std::string &)> done;
    };
    std::deque<Check> checks_;
    std::mutex checkMu_;
    std::condition_variable checkCv_;
    bool checkerEnds_ = false;
    std::thread checker_;
};

// How many finished units the page lists.
constexpr size_t kHistory = 12;
constexpr size_t kAttemptsKept = 100000;

}  // namespace serve
