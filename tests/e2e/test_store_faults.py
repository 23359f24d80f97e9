"""The results store when things go wrong: nothing lost, nothing changed
that is not ours, no station held up by another or by a stuck server.

Each test is one fault: an empty --store, a file that is not a results
store, two stations creating one store, a store on a full disk, a
PostgreSQL server stopped mid-run, report output that cannot be written;
and for a line on one server: stations behind a pooler in transaction
mode, a session holding the records table, a station killed inside its
transaction.  The routers are the simulated ones (sim/simrig.py);
PostgreSQL and pgbouncer are Debian's (tests/pgserver.py).
"""
import glob
import hashlib
import json
import os
import signal
import sqlite3
import stat
import subprocess
import sys
import time

import pytest

import simrig
from conftest import BUILD, not_on_vm

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import pgserver  # noqa: E402

pytestmark = not_on_vm("the results store is tested on the namespace rig")

RFPROBE = os.path.join(BUILD, "tools", "rfprobe")
PLAN = "enter-test-mode\nexit-test\n"
STORE_STATUS, USAGE_STATUS = 5, 2


def requests_seen(rig):
    return [l for l in rig.agent_lines() if l.startswith("--cmdType")]


def count(db, sql="SELECT count(*) FROM records"):
    with sqlite3.connect(db) as c:
        return c.execute(sql).fetchone()[0]


def digest(path):
    """The bytes of a file and of every file SQLite keeps beside it."""
    h = hashlib.sha256()
    for p in sorted([path] + glob.glob(path + "-*")):
        h.update(p.encode() + b"\0")
        with open(p, "rb") as f:
            h.update(f.read())
    return h.hexdigest()


@pytest.fixture
def plan(tmp_path):
    p = tmp_path / "short.plan"
    p.write_text(PLAN)
    return str(p)


@pytest.mark.parametrize("store_args", [["--store", ""], ["--store="]])
def test_an_empty_store_is_refused_before_anything_is_sent(agent, plan, tmp_path, store_args):
    r = agent.station("sh", "-c", 'cd "$1" && shift && exec "$@"', "sh", str(tmp_path),
                      RFPROBE, "--iface", agent.station_if, "run", plan, "--dut", "SN1", *store_args)
    assert r.returncode == USAGE_STATUS, r.stdout + r.stderr
    assert "--store is empty" in r.stderr and "nothing was sent" in r.stderr
    assert requests_seen(agent) == []
    assert not os.path.exists(tmp_path / "rfprobe-results.db")


def _other_programs_db(path):
    with sqlite3.connect(path) as c:
        c.execute("CREATE TABLE inventory (item TEXT, qty INTEGER)")
        c.execute("INSERT INTO inventory VALUES ('screws', 40)")
    return "an SQLite database but not an rfprobe results store"


def _text_file(path):
    with open(path, "w") as f:
        f.write("serial,verdict\nSN1,PASS\n" * 200)
    return "is not an SQLite database"


@pytest.mark.parametrize("make", [_other_programs_db, _text_file])
def test_a_file_that_is_not_a_store_is_refused_and_left_as_it_was(agent, plan, tmp_path, make):
    path = str(tmp_path / "other.db")
    why = make(path)
    before = digest(path)
    for args in (["report", "--store", path],
                 ["report", "--store", path, "--csv", str(tmp_path / "out.csv")],
                 ["run", plan, "--dut", "SN1", "--store", path],
                 ["sync", "--store", path, "--spool", str(tmp_path / "spool.db")]):
        r = agent.rfprobe(*args)
        assert r.returncode == STORE_STATUS, (args, r.stdout + r.stderr)
        assert why in r.stderr, r.stderr
        assert digest(path) == before, "%s changed %s" % (args[0], path)
    assert requests_seen(agent) == []
    assert not os.path.exists(tmp_path / "out.csv") and not os.path.exists(tmp_path / "out.csv.tmp")


# Waits for a moment given in wall-clock time, then becomes the program:
# two stations started by it open the store within microseconds.
AT_ONCE = ("import os, sys, time\n"
           "t = float(sys.argv[1])\n"
           "time.sleep(max(0, t - time.time() - 0.01))\n"
           "while time.time() < t: pass\n"
           "os.execv(sys.argv[2], sys.argv[2:])\n")


def test_two_stations_creating_one_store_both_get_in(tmp_path):
    """Both open a file that does not exist yet at the same moment: the
    schema and the journal switch wait like every write.  No network: the
    plan only sleeps."""
    plan = tmp_path / "idle.plan"
    plan.write_text("sleep 0\n")
    for round_ in range(20):
        db = str(tmp_path / ("new%d.db" % round_))
        at = "%.6f" % (time.time() + 0.2)
        procs = [subprocess.Popen(["/usr/bin/python3", "-c", AT_ONCE, at, RFPROBE, "run", str(plan),
                                   "--dut", "SN%d" % k, "--station", "st%d" % k, "--store", db],
                                  cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True)
                 for k in range(2)]
        for p in procs:
            out, err = p.communicate(timeout=60)
            assert p.returncode == 0, "round %d: %s%s" % (round_, out, err)
            assert "spooled" not in out, "round %d: %s" % (round_, out)
        assert count(db) == 2, "round %d" % round_


@pytest.fixture
def full_disk(tmp_path):
    """A small tmpfs; fill() takes its last byte."""
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    d = tmp_path / "small"
    d.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "rfprobe-test", str(d)], check=True)

    class Disk:
        path = str(d)

        def fill(self):
            fd = os.open(os.path.join(self.path, "filler"), os.O_WRONLY | os.O_CREAT, 0o600)
            try:
                while os.write(fd, b"\0" * 512) > 0:
                    pass
            except OSError:
                pass
            finally:
                os.close(fd)

        def free(self):
            os.unlink(os.path.join(self.path, "filler"))
    try:
        yield Disk()
    finally:
        subprocess.run(["umount", "-l", str(d)], check=False)


def test_a_store_on_a_full_disk_keeps_the_record_in_the_outbox_and_sync_moves_it_once(
        agent, plan, tmp_path, full_disk):
    db = os.path.join(full_disk.path, "results.db")
    spool = str(tmp_path / "spool.db")
    run = ["run", plan, "--station", "st1", "--store", db]
    r = agent.rfprobe(*run, "--dut", "SN1")
    assert r.returncode == 0 and count(db) == 1, r.stdout + r.stderr

    full_disk.fill()
    r = agent.station("env", "RFPROBE_SPOOL=" + spool, RFPROBE, "--iface", agent.station_if, *run,
                      "--dut", "SN2")
    assert r.returncode == 0, r.stdout + r.stderr  # the plan's status: nothing was lost
    assert "kept in the spool " + spool in r.stderr, r.stderr
    assert count(spool, "SELECT count(*) FROM spool WHERE uploaded_at IS NULL") == 1

    # The outbox on the full disk too: status 5, and the record on stderr.
    r = agent.station("env", "RFPROBE_SPOOL=" + os.path.join(full_disk.path, "spool.db"), RFPROBE,
                      "--iface", agent.station_if, *run, "--dut", "SN3")
    assert r.returncode == STORE_STATUS, r.stdout + r.stderr
    kept = [json.loads(l) for l in r.stderr.splitlines() if l.startswith("{")]
    assert [k["serial"] for k in kept] == ["SN3"], r.stderr
    assert kept[0]["steps"][0]["command"] == "enter-test-mode"

    full_disk.free()
    sync = ["sync", "--store", db, "--spool", spool]
    r = agent.rfprobe(*sync)
    assert r.returncode == 0 and "1 record(s) uploaded" in r.stdout, r.stdout + r.stderr
    with sqlite3.connect(db) as c:
        assert [s for s, in c.execute("SELECT serial FROM records ORDER BY serial")] == ["SN1", "SN2"]
    r = agent.rfprobe(*sync)
    assert r.returncode == 0 and "0 record(s) uploaded" in r.stdout, r.stdout + r.stderr
    assert count(db) == 2


@pytest.fixture
def pg():
    why = pgserver.unavailable()
    if why:
        pytest.skip(why)
    with pgserver.PgServer() as server:
        yield server


def _server_pids(pg):
    """The postmaster of this server and its children (the backends)."""
    with open(os.path.join(pg.data, "postmaster.pid")) as f:
        master = int(f.readline())
    pids = [master]
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == master:
                pids.append(int(stat.split("/")[2]))
        except (OSError, IndexError, ValueError):
            pass
    return pids


def _records_on(pg, dbname):
    r = subprocess.run([os.path.join(pg.bin, "psql"), "-h", pg.sock, "-p", str(pgserver.PORT), "-U",
                        pgserver.SUPERUSER, "-d", dbname, "-tAc", "SELECT count(*) FROM records"],
                       capture_output=True, text=True, timeout=10)
    return r.stdout.strip() if r.returncode == 0 else None


def test_a_stopped_postgresql_server_holds_no_unit(pg, tmp_path):
    """Unit 0 answers and stores its record at once; then the server stops
    (SIGSTOP: the connection stays open, nothing answers) while units 1
    and 2, whose routers do not answer, are still running.  They finish,
    and their records are spooled, within the station's bound."""
    if os.geteuid() != 0:
        pytest.skip("the rig needs root (network namespaces, mounts)")
    url = pg.url("line")
    spool = str(tmp_path / "spool.db")
    plan = tmp_path / "one.plan"
    plan.write_text("enter-test-mode\n")
    with simrig.MultiRig(3, BUILD) as line:
        line.units[0].start_agent(manual=True)
        argv = ["ip", "netns", "exec", line.station_ns, RFPROBE, "--timeout", "5000", "run", str(plan),
                "--store", url, "--spool", spool, "--station", "st1"]
        for k, iface in enumerate(line.ifaces):
            argv += ["--unit", "%s=SN%d" % (iface, k)]
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        stopped = []
        try:
            # Unit 0 is done and stored; 1 and 2 still wait for replies.
            deadline = time.monotonic() + 4
            while _records_on(pg, "line") != "1" and time.monotonic() < deadline:
                time.sleep(0.05)
            assert _records_on(pg, "line") == "1", "unit 0 was not stored within 4 s"
            for pid in _server_pids(pg):
                try:
                    os.kill(pid, signal.SIGSTOP)
                    stopped.append(pid)
                except ProcessLookupError:
                    pass  # a backend that has ended since (the count's own) needs no stop
            t0 = time.monotonic()
            out, err = proc.communicate(timeout=90)
            took = time.monotonic() - t0
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
            for pid in stopped:
                try:
                    os.kill(pid, signal.SIGCONT)
                except ProcessLookupError:
                    pass
    # What is left of the 5 s timeout, then one bounded wait (15 s) per
    # unit, side by side; generous for a loaded machine.
    assert took < 45, "%.1f s\n%s%s" % (took, out, err)
    assert proc.returncode == 4, out + err  # the units without a router: no reply
    assert count(spool, "SELECT count(*) FROM spool WHERE uploaded_at IS NULL") == 2, out + err
    r = subprocess.run([RFPROBE, "sync", "--store", url, "--spool", spool], capture_output=True,
                       text=True, timeout=60)
    assert r.returncode == 0 and "2 record(s) uploaded" in r.stdout, r.stdout + r.stderr


def test_report_output_that_cannot_be_written(agent, plan, tmp_path):
    db = str(tmp_path / "r.db")
    r = agent.rfprobe("run", plan, "--dut", "SN1", "--store", db)
    assert r.returncode == 0, r.stdout + r.stderr
    broken = str(tmp_path / "broken.db")
    with sqlite3.connect(db) as src, sqlite3.connect(broken) as dst:
        src.backup(dst)
        dst.execute("DROP TABLE measurements")  # ours, but every step query fails
    out = str(tmp_path / "out.csv")
    cases = [  # (arguments, stdout to, status)
        (["--store", db], "/dev/full", STORE_STATUS),
        (["--store", db, "--csv", "-"], "/dev/full", STORE_STATUS),
        (["--store", broken, "--csv", out], None, STORE_STATUS),
        (["--store", db, "--csv", str(tmp_path / "no-such-dir" / "x.csv")], None, USAGE_STATUS),
        (["--store", db, "--csv", out], None, 0),
        (["--store", db, "--csv", "/dev/null"], None, 0),  # written to, not replaced by a file
    ]
    for args, stdout, status in cases:
        cmd = " ".join("'%s'" % a for a in [RFPROBE, "report"] + args)
        if stdout:
            cmd += " >" + stdout
        r = subprocess.run(["sh", "-c", cmd], capture_output=True, text=True, timeout=30)
        assert r.returncode == status, (args, r.stdout + r.stderr)
        assert not os.path.exists(out + ".tmp"), args
        assert not [n for n in os.listdir(tmp_path) if n.startswith("out.csv.")], args  # no temporary file
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    with open(out) as f:
        assert f.readline().startswith("record_id,serial,")


# ---- a line on one PostgreSQL server ----------------------------------------

def _psql(pg, url, sql, **kw):
    r = subprocess.run([os.path.join(pg.bin, "psql"), url, "-tAc", sql], capture_output=True, text=True,
                       timeout=30, **kw)
    assert r.returncode == 0, r.stderr
    return r.stdout.strip()


def _station(tmp_path, url, serial, name="st1"):
    """argv of a station storing one unit's record; the plan needs no router."""
    plan = tmp_path / "quick.plan"
    plan.write_text("sleep 0.05\n")
    return [RFPROBE, "run", str(plan), "--dut", serial, "--station", name, "--store", url,
            "--spool", str(tmp_path / ("spool-%s.db" % name))]


def _stations_at_once(argvs):
    """Runs the stations side by side: (seconds each took, its result)."""
    procs = [(time.monotonic(), subprocess.Popen(a, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
             for a in argvs]
    out = []
    for t0, p in procs:
        o, e = p.communicate(timeout=60)
        out.append((time.monotonic() - t0, p.returncode, o + e))
    return out


@pytest.fixture
def bouncer(pg):
    why = pgserver.PgBouncer.unavailable()
    if why:
        pytest.skip(why)
    # One server connection for every client: whatever one station leaves
    # on its server session, the next one meets.
    with pgserver.PgBouncer(pg, pool_size=1) as b:
        yield b


def test_two_stations_behind_pgbouncer_in_transaction_mode_write_sync_and_report(pg, bouncer, tmp_path):
    url = bouncer.url("pooled")
    res = _stations_at_once([_station(tmp_path, url, "SN%d" % k, "st%d" % k) for k in (1, 2)])
    assert [rc for _, rc, _ in res] == [0, 0], res
    assert "spool" not in res[0][2] + res[1][2], res
    # The pooler away: the record waits in the outbox, sync brings it
    # through the pooler once it is back.
    bouncer.stop()
    r = subprocess.run(_station(tmp_path, url, "SN3", "st1"), capture_output=True, text=True, timeout=60)
    assert "kept in the spool" in r.stderr, r.stdout + r.stderr
    bouncer.start()
    sync = subprocess.run([RFPROBE, "sync", "--store", url, "--spool", str(tmp_path / "spool-st1.db")],
                          capture_output=True, text=True, timeout=60)
    assert sync.returncode == 0 and "1 record(s) uploaded" in sync.stdout, sync.stdout + sync.stderr
    rep = subprocess.run([RFPROBE, "report", "--store", url, "--statement-timeout", "30"], capture_output=True,
                         text=True, timeout=60)
    assert rep.returncode == 0, rep.stderr
    assert _psql(pg, url, "SELECT string_agg(serial || '@' || station, ' ' ORDER BY serial) FROM records") == \
        "SN1@st1 SN2@st2 SN3@st1"
    # Nothing the stations set stayed on the one server session they shared.
    assert _psql(pg, url, "SELECT current_setting('statement_timeout') || ' ' || "
                          "current_setting('lock_timeout')") == "0 0"


def _backends(pg, url, where):
    return int(_psql(pg, url, "SELECT count(*) FROM pg_stat_activity WHERE pid <> pg_backend_pid() AND " + where))


def _wait_for(what, deadline_s=10):
    t0 = time.monotonic()
    while not what():
        assert time.monotonic() - t0 < deadline_s, "not within %d s" % deadline_s
        time.sleep(0.05)


@pytest.mark.parametrize("hold, spooled, within", [
    # An older rfprobe creating the schema (or psql) holds the lock it
    # took for that: a station that finds the schema there needs no lock.
    ("SELECT pg_advisory_lock(1060);", False, 1.5),
    # A session (a DBA's psql, a stuck job) holds the records table: each
    # station gives up after its own lock timeout (2 s) and keeps its
    # record in its outbox; none queues behind another.
    ("BEGIN; LOCK TABLE records IN EXCLUSIVE MODE;", True, 4),
], ids=["schema-lock", "records-table"])
def test_a_session_holding_a_lock_stalls_no_writer_beyond_the_lock_timeout(pg, tmp_path, hold, spooled, within):
    url = pg.url("locked")
    subprocess.run([RFPROBE, "report", "--store", url], capture_output=True, timeout=60)  # the schema
    holder = subprocess.Popen([os.path.join(pg.bin, "psql"), url, "-q"], stdin=subprocess.PIPE,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, text=True)
    try:
        holder.stdin.write(hold + "\n")
        holder.stdin.flush()
        _wait_for(lambda: _backends(pg, url, "pid IN (SELECT pid FROM pg_locks WHERE granted AND"
                                             " locktype IN ('advisory', 'relation') AND mode LIKE 'Exclusive%')"
                                             " AND state LIKE 'idle%'") == 1)
        res = _stations_at_once([_station(tmp_path, url, "SN%d" % k, "st%d" % k) for k in range(3)])
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)
    for took, rc, out in res:
        assert ("kept in the spool" in out) == spooled, out
        assert took < within, "%.1f s: %s" % (took, out)
    for k in range(3):
        r = subprocess.run([RFPROBE, "sync", "--store", url, "--spool", str(tmp_path / ("spool-st%d.db" % k))],
                           capture_output=True, text=True, timeout=60)
        assert r.returncode == 0, r.stdout + r.stderr
    assert _psql(pg, url, "SELECT count(*) FROM records") == "3"


def test_a_station_killed_inside_its_transaction_stalls_nobody(pg, tmp_path):
    """A station dies while its record's transaction is open on the server
    (here: its insert sleeps in a trigger): the others store theirs at
    once, and the dead one's session ends within its statement timeout."""
    url = pg.url("killed")
    subprocess.run([RFPROBE, "report", "--store", url], capture_output=True, timeout=60)  # the schema
    _psql(pg, url, "CREATE FUNCTION hang() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
                   " IF NEW.serial = 'HANG' THEN PERFORM pg_sleep(60); END IF; RETURN NEW; END $$;"
                   " CREATE TRIGGER hang BEFORE INSERT ON records FOR EACH ROW EXECUTE FUNCTION hang()")
    hung = subprocess.Popen(_station(tmp_path, url, "HANG", "dead"), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        _wait_for(lambda: _backends(pg, url, "wait_event = 'PgSleep'") == 1)
    finally:
        hung.kill()
        hung.wait()
    res = _stations_at_once([_station(tmp_path, url, "SN%d" % k, "st%d" % k) for k in range(3)])
    for took, rc, out in res:
        assert rc == 0 and "spool" not in out, out
        assert took < 1.5, "%.1f s: %s" % (took, out)
    assert _psql(pg, url, "SELECT count(*) FROM records") == "3"
    _wait_for(lambda: _backends(pg, url, "wait_event = 'PgSleep'") == 0, deadline_s=8)
