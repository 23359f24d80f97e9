"""The station on a production line: limits and verdicts, one record per
unit in SQLite and in a real PostgreSQL server, the spool and sync, several
units at once, and bad input that changes nothing.

The receive count is made low by slowing the simulated receive counter
(rxrate) before the test, the receive test made to fail by a `wl counters`
fault; the routers are the simulated ones (sim/simrig.py).
"""
import json
import os
import signal
import sqlite3
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import pytest

import simrig
from conftest import BUILD, not_on_vm

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import pgserver  # noqa: E402

pytestmark = not_on_vm("several units and the results store are tested on the namespace rig")

# 2000 frames/s by default: 0.5 s of receiving counts about 1000.
PLAN = """# line check
enter-test-mode
set-channel 6 --retries 1
rx --rate 15 --bw 40 --seconds 0.5 --min 700 --max 1300{stop}
pa-read 0 --pa1 -400..-350 --pa2 6000..7000 --pa3 -1600..-1400
exit-test
"""


def write_plan(tmp_path, stop=False, text=None):
    p = tmp_path / "line3.plan"
    p.write_text(text if text is not None else PLAN.format(stop=" --stop-on-fail" if stop else ""))
    return str(p)


def requests_seen(rig):
    return [l for l in rig.agent_lines() if l.startswith("--cmdType")]


def records(db):
    with sqlite3.connect(db) as c:
        return c.execute("SELECT serial, station, operator, plan_name, verdict, record_id"
                         " FROM records ORDER BY serial").fetchall()


@pytest.fixture
def agent(rig):
    rig.start_agent(manual=True)
    return rig


def test_limits_that_pass(agent, tmp_path):
    r = agent.rfprobe("run", write_plan(tmp_path))
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    rx = [l for l in lines if l.startswith("line 4 rx: ")]
    assert len(rx) == 1 and rx[0].startswith("line 4 rx: PASS: count "), r.stdout
    assert "line 5 pa-read: PASS: pa1 -372 in -400..-350; pa2 6702 in 6000..7000; " \
           "pa3 -1509 in -1600..-1400" in lines
    assert lines[-1].endswith("line3.plan: PASS")
    # Steps without limits print exactly what they always did.
    assert lines[:3] == ["enter-test-mode: ok", "set-channel: ok", "start-rx: ok"]


def test_a_low_count_fails_and_the_plan_goes_on_unless_told_to_stop(agent, tmp_path):
    agent.set_state(rxrate="20")  # a weak signal: about 10 frames in 0.5 s
    r = agent.rfprobe("run", write_plan(tmp_path))
    assert r.returncode == 1, r.stdout + r.stderr
    assert any(l.startswith("line 4 rx: FAIL: count ") and l.endswith(" below 700")
               for l in r.stdout.splitlines()), r.stdout
    assert "exit-test: ok" in r.stdout  # the plan went on
    assert r.stdout.splitlines()[-1].endswith("line3.plan: FAIL (failed: line 4 rx)")

    before = len(requests_seen(agent))
    r = agent.rfprobe("--json", "run", write_plan(tmp_path, stop=True))
    assert r.returncode == 1, r.stdout + r.stderr
    objs = [json.loads(l) for l in r.stdout.splitlines()]
    step = [o for o in objs if o.get("step") == "rx"][0]
    assert step["verdict"] == "FAIL" and step["line"] == 4
    assert step["measurements"][0]["name"] == "count" and step["measurements"][0]["low"] == 700
    assert objs[-1]["verdict"] == "FAIL"
    assert "stopped at line 4 (rx): a limit was missed" in r.stderr
    # enter-test-mode, set-channel, start-rx, stop-rx: nothing after the failed step.
    assert len(requests_seen(agent)) - before == 4

    # A single command with limits: exit status 1 for FAIL as well.
    r = agent.rfprobe("stop-rx", "--min", "1000000")
    assert r.returncode == 1 and "stop-rx: FAIL: count " in r.stdout, r.stdout + r.stderr


def test_no_reply_is_an_error_with_its_own_status(agent, tmp_path):
    agent.set_fault("wl", "counters", omit="rxdfrmmcast")  # start-rx cannot read the counter
    r = agent.rfprobe("--timeout", "300", "run", write_plan(tmp_path), "--dut", "SN-ERR",
                      "--store", str(tmp_path / "r.db"), "--station", "st1")
    assert r.returncode == 4, r.stdout + r.stderr
    assert "line 4 rx: ERROR (start-rx (0x97): no reply within 300 ms)" in r.stdout
    assert "line3.plan: ERROR" in r.stdout
    (serial, _, _, _, verdict, rid), = records(str(tmp_path / "r.db"))
    assert (serial, verdict) == ("SN-ERR", "ERROR")
    with sqlite3.connect(str(tmp_path / "r.db")) as c:
        steps = c.execute("SELECT command, verdict, error FROM steps ORDER BY step_index").fetchall()
        ex = c.execute("SELECT req_code, reply_code FROM exchanges WHERE step_index = 2").fetchall()
    assert steps == [("enter-test-mode", "PASS", None), ("set-channel", "PASS", None),
                     ("rx", "ERROR", "start-rx (0x97): no reply within 300 ms")]
    assert ex == [(0x97, None)]


def test_a_record_per_unit_in_sqlite_json_and_junit(agent, tmp_path):
    agent.set_state(rxrate="20")
    db = str(tmp_path / "results.db")
    r = agent.station("env", "RFPROBE_OPERATOR=Ana Lima", "RFPROBE_STATION=line3-st1",
                      "rfprobe", "--iface", agent.station_if, "run", write_plan(tmp_path),
                      "--dut", "SN0001", "--meta", "lot=2024-18", "--store", db,
                      "--json-record", str(tmp_path / "{serial}.json"),
                      "--junit", str(tmp_path / "junit.xml"))
    assert r.returncode == 1, r.stdout + r.stderr
    assert r.stdout.splitlines()[-1].startswith("SN0001: FAIL (plan line3.plan, 5 of 5 steps")

    (serial, station, operator, plan, verdict, rid), = records(db)
    assert (serial, station, operator, plan, verdict) == ("SN0001", "line3-st1", "Ana Lima",
                                                         "line3.plan", "FAIL")
    with sqlite3.connect(db) as c:
        meas = c.execute("SELECT step_index, name, low, high, verdict FROM measurements"
                         " ORDER BY step_index, measurement_index").fetchall()
        args = c.execute("SELECT args FROM steps WHERE step_index = 2").fetchone()[0]
        sha = c.execute("SELECT plan_sha256 FROM records").fetchone()[0]
    assert meas == [(2, "count", 700, 1300, "FAIL"), (3, "pa1", -400, -350, "PASS"),
                    (3, "pa2", 6000, 7000, "PASS"), (3, "pa3", -1600, -1400, "PASS")]
    assert args == "--rate 15 --bw 40 --seconds 0.5 --min 700 --max 1300"
    import hashlib
    with open(tmp_path / "line3.plan", "rb") as f:
        assert sha == hashlib.sha256(f.read()).hexdigest()

    doc = json.loads((tmp_path / "SN0001.json").read_text())
    assert doc["record_id"] == rid and doc["verdict"] == "FAIL" and doc["metadata"] == {"lot": "2024-18"}
    rx = doc["steps"][2]
    assert [e["request"]["code"] for e in rx["exchanges"]] == [0x97, 0x98]
    assert rx["measurements"][0]["value"] == rx["exchanges"][1]["reply"]["value1"] < 700
    assert rx["duration_s"] >= 0.5

    suite = ET.parse(str(tmp_path / "junit.xml")).getroot().find("testsuite")
    assert (suite.get("name"), suite.get("tests"), suite.get("failures")) == ("line3.plan", "5", "1")

    # The default store: ./rfprobe-results.db, or RFPROBE_STORE.
    agent.set_state(rxrate="2000")
    r = agent.station("sh", "-c", "cd %s && rfprobe --iface %s run line3.plan --dut SN0002 --station s1"
                      % (tmp_path, agent.station_if))
    assert r.returncode == 0, r.stdout + r.stderr
    assert [row[0] for row in records(str(tmp_path / "rfprobe-results.db"))] == ["SN0002"]

    # report reads it back.
    r = agent.station("rfprobe", "report", "--store", db, "--plan", "line3.plan")
    assert r.returncode == 0, r.stderr
    assert any(l.split()[:4] == ["line3.plan", "4", "rx", "count"] for l in r.stdout.splitlines()), r.stdout
    r = agent.station("rfprobe", "report", "--store", db, "--csv", "-")
    assert r.returncode == 0 and r.stdout.count("\n") == 1 + 4 + 3, r.stdout


def _psql(pg, dbname, sql):
    r = subprocess.run([os.path.join(pg.bin, "psql"), "-h", pg.sock, "-p", str(pgserver.PORT), "-U",
                        pgserver.SUPERUSER, "-d", dbname, "-tAc", sql],
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    return r.stdout.strip()


@pytest.fixture
def pg():
    why = pgserver.unavailable()
    if why:
        pytest.skip(why)
    with pgserver.PgServer() as server:
        yield server


def test_records_in_postgresql_spooled_while_away_and_synced_once(agent, pg, tmp_path):
    url = pg.url("line3")
    spool = str(tmp_path / "spool.db")
    plan = write_plan(tmp_path)
    r = agent.rfprobe("run", plan, "--dut", "SN0100", "--store", url, "--spool", spool,
                      "--station", "st1")
    assert r.returncode == 0, r.stdout + r.stderr
    assert _psql(pg, "line3", "SELECT serial || ' ' || verdict FROM records") == "SN0100 PASS"
    assert _psql(pg, "line3", "SELECT count(*) FROM measurement_rows") == "4"

    # The server goes away: the record waits in the spool, the run still passes.
    pg.stop()
    r = agent.rfprobe("run", plan, "--dut", "SN0101", "--store", url, "--spool", spool,
                      "--station", "st1")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "cannot take the record" in r.stderr and "kept in the spool " + spool in r.stderr
    assert "spooled in " + spool in r.stdout
    with sqlite3.connect(spool) as c:
        assert c.execute("SELECT count(*) FROM spool WHERE uploaded_at IS NULL").fetchone()[0] == 1
    r = agent.station("rfprobe", "sync", "--store", url, "--spool", spool)
    assert r.returncode == 5, r.stdout + r.stderr  # still away: nothing uploaded, nothing lost

    pg.start()
    r = agent.station("rfprobe", "sync", "--store", url, "--spool", spool)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "1 record(s) uploaded" in r.stdout and "0 still waiting" in r.stdout
    r = agent.station("rfprobe", "sync", "--store", url, "--spool", spool)
    assert r.returncode == 0 and "0 record(s) uploaded" in r.stdout, r.stdout
    assert _psql(pg, "line3", "SELECT string_agg(serial, ' ' ORDER BY serial) FROM records") == \
        "SN0100 SN0101"

    r = agent.station("rfprobe", "report", "--store", url)
    assert r.returncode == 0, r.stderr
    assert "line3.plan" in r.stdout and "100.0%" in r.stdout


@pytest.fixture
def line4():
    if os.geteuid() != 0:
        pytest.skip("the rig needs root (network namespaces, mounts)")
    rig = simrig.MultiRig(4, BUILD)
    rig.up()
    try:
        rig.start_agents(manual=True)
        yield rig
    finally:
        rig.down()


def test_four_units_at_once_four_records(line4, tmp_path):
    line4.units[2].set_state(rxrate="20")  # the third unit receives badly
    db = str(tmp_path / "r.db")
    units = []
    for k in range(4):
        units += ["--unit", "stn%d=SN%04d" % (k, k)]
    t0 = time.monotonic()
    r = line4.station("rfprobe", "run", write_plan(tmp_path), *units, "--store", db,
                      "--station", "st1", "--junit", str(tmp_path / "j.xml"), timeout=60)
    took = time.monotonic() - t0
    assert r.returncode == 1, r.stdout + r.stderr
    rows = records(db)
    assert [(s, v) for s, _, _, _, v, _ in rows] == [("SN0000", "PASS"), ("SN0001", "PASS"),
                                                   ("SN0002", "FAIL"), ("SN0003", "PASS")]
    # Not a terminal: plain lines per step, then the table.
    out = r.stdout.splitlines()
    assert any(l.startswith("stn2 SN0002: line 4 rx: FAIL: count ") for l in out), r.stdout
    table = out[out.index("") + 1:]
    assert table[0].split() == ["UNIT", "SERIAL", "VERDICT", "STEPS", "TIME", "RECORD", "DETAIL"]
    assert [l.split()[:4] for l in table[1:5]] == [
        ["stn0", "SN0000", "PASS", "5/5"], ["stn1", "SN0001", "PASS", "5/5"],
        ["stn2", "SN0002", "FAIL", "5/5"], ["stn3", "SN0003", "PASS", "5/5"]]
    assert "line 4 rx: FAIL: count" in table[3]
    assert table[5].startswith("3 of 4 units PASS")
    # Each router served its own unit: one receive test each.
    for u in line4.units:
        assert sum(l == "--cmdType = 97" for l in u.agent_lines()) == 1
    # At once: well under four times one unit's 0.5 s receive test.
    assert took < 30
    assert len(ET.parse(str(tmp_path / "j.xml")).getroot().findall("testsuite")) == 4


def test_a_lines_records_archived_and_restored(line4, pg, tmp_path):
    """Four units' records in PostgreSQL go to an archive and come back
    with the same digests; a report over the archived days says where they
    are instead of showing an empty day."""
    url = pg.url("line3")
    units = sum((["--unit", "stn%d=SN%04d" % (k, k)] for k in range(4)), [])
    r = line4.station("rfprobe", "run", write_plan(tmp_path), *units, "--store", url,
                      "--spool", str(tmp_path / "spool.db"), "--station", "st1", timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
    digests = "SELECT string_agg(record_id || ' ' || digest, ',' ORDER BY record_id) FROM records"
    before = _psql(pg, "line3", digests)
    assert before.count(",") == 3
    today = time.strftime("%Y-%m-%d", time.gmtime())
    tomorrow = time.strftime("%Y-%m-%d", time.gmtime(time.time() + 86400))
    archive = str(tmp_path / "line3.jsonl.zst")
    r = line4.station("rfprobe", "archive", "--store", url, "--before", tomorrow, "--to", archive)
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.startswith("archive: 4 record(s) started before " + tomorrow), r.stdout
    assert "records/s" in r.stdout and "the store now takes" in r.stdout
    assert _psql(pg, "line3", "SELECT count(*) FROM records") == "0"
    r = line4.station("rfprobe", "archive", "--store", url, "--before", tomorrow, "--to", archive)
    assert r.returncode == 2 and "already exists" in r.stderr, r.stdout + r.stderr

    note = "records started before %s 00:00 UTC are archived (4 records in %s on %s): " \
           "rfprobe restore %s to report on them" % (tomorrow, archive, today, archive)
    r = line4.station("rfprobe", "report", "--store", url, "--since", today, "--tz", "UTC")
    assert r.returncode == 0 and r.stdout.splitlines()[0] == "note: " + note, r.stdout + r.stderr
    page = tmp_path / "r.html"
    r = line4.station("rfprobe", "report", "--store", url, "--since", today, "--html", str(page))
    assert r.returncode == 0, r.stderr
    assert "Note: " + note in page.read_text()

    r = line4.station("rfprobe", "restore", "--store", url, archive)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "4 record(s) of %s restored" % archive in r.stdout, r.stdout
    assert _psql(pg, "line3", digests) == before
    r = line4.station("rfprobe", "report", "--store", url, "--since", today, "--tz", "UTC")
    assert r.returncode == 0 and "archived" not in r.stdout and "line3.plan" in r.stdout, r.stdout


# Ctrl-C, and SIGTERM and SIGHUP (a service stopped, a terminal closed), end
# the runs in the same way.
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_ctrl_c_stops_every_unit_and_keeps_their_records(tmp_path, sig):
    if os.geteuid() != 0:
        pytest.skip("the rig needs root (network namespaces, mounts)")
    rig = simrig.MultiRig(2, BUILD).up()
    try:
        rig.start_agents(manual=True)
        plan = write_plan(tmp_path, text="enter-test-mode\nsleep 60\nexit-test\n")
        db = str(tmp_path / "r.db")
        p = subprocess.Popen(["ip", "netns", "exec", rig.station_ns,
                              os.path.join(rig.units[0].tools_dir, "rfprobe"), "run", plan,
                              "--unit", "stn0=A1", "--unit", "stn1=A2", "--store", db,
                              "--station", "st1"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 20
        while not all(sum(l == "--cmdType = 80" for l in u.agent_lines()) for u in rig.units):
            assert time.monotonic() < deadline and p.poll() is None
            time.sleep(0.05)
        t0 = time.monotonic()
        p.send_signal(sig)
        out, err = p.communicate(timeout=20)
        assert p.returncode == 130, out + err
        assert time.monotonic() - t0 < 5  # every thread woke, not after its 60 s
        assert [(s, v) for s, _, _, _, v, _ in records(db)] == [("A1", "ERROR"), ("A2", "ERROR")]
    finally:
        rig.down()


@pytest.mark.parametrize("plan_text, extra, message", [
    ("enter-test-mode\nset-channel 6 --bogus 1\n", [], "line3.plan:2: set-channel: unknown option --bogus"),
    ("enter-test-mode\nset-channel 6 --min 1\n", [],
     "line3.plan:2: set-channel: --min is a limit, and set-channel measures nothing"),
    ("enter-test-mode\n", ["--store", "postgresql://db/x?bogus=1"], "does not parse"),
    ("enter-test-mode\n", ["--store", "mysql://db/x"], "mysql://db/x"),
    ("enter-test-mode\n", ["--dut", "SN#1"], "serial \"SN#1\" may hold only letters"),
    ("enter-test-mode\n", ["--dut", "SN1", "--unit", "stn0=SN2"], "either --dut"),
])
def test_bad_input_changes_nothing(agent, tmp_path, plan_text, extra, message):
    args = ["run", write_plan(tmp_path, text=plan_text)] + (extra if "--dut" in extra else ["--dut", "SN1"] + extra)
    r = agent.station("sh", "-c", 'cd "$0" && exec "$@"', str(tmp_path), "rfprobe", "--iface",
                      agent.station_if, *args)
    assert r.returncode == 2, r.stdout + r.stderr
    assert message in r.stderr and "nothing was sent" in r.stderr, r.stderr
    assert requests_seen(agent) == [] and agent.journal() == []
    assert sorted(os.listdir(tmp_path)) == ["line3.plan"]  # no store, no spool


def test_two_units_on_one_interface_are_refused(agent, tmp_path):
    r = agent.station("rfprobe", "run", write_plan(tmp_path), "--unit", "stn0=SN1", "--unit",
                      "stn0=SN2", "--store", str(tmp_path / "r.db"))
    assert r.returncode == 2
    assert "two units on interface stn0: every unit answers with the same broadcast" in r.stderr
    assert requests_seen(agent) == [] and not os.path.exists(tmp_path / "r.db")
