"""The golden unit on the simulated line: fixture-cal measures a port's true
path loss and rewrites only that port's table; a cable that drifts makes
the golden check FAIL and --require-golden lock that port while the others
run; after a new fixture-cal the port runs again and its units calibrate
to their truth.  Bad input is refused before anything is sent."""
import json
import os
import re
import sqlite3
import subprocess
import sys
import threading
import time

import pytest

import simrig
from conftest import BUILD, ON_VM

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import pgserver  # noqa: E402

pytestmark = pytest.mark.skipif(ON_VM, reason="emulated router: the tester runs on the namespace rig")

PLANS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim", "plans")
LINE_CAL = os.path.join(PLANS, "line-cal.plan")


def flat(db):
    return [(2412, db), (5825, db)]


def loss_at(points, mhz):
    for (f0, l0), (f1, l1) in zip(points, points[1:]):
        if f0 <= mhz <= f1:
            return l0 + (l1 - l0) * (mhz - f0) / (f1 - f0)
    raise ValueError(mhz)


def golden_plan(tmp_path, ref):
    p = tmp_path / ("golden-%s.plan" % os.path.basename(ref))
    p.write_text("enter-test-mode\ngolden-check --reference %s --settle 0.05\n" % ref)
    return str(p)


def loss_of(fixture, iface):
    text = open(fixture).read()
    table = text.split("[units.%s]" % iface)[1].split("[units.")[0]
    return json.loads(re.search(r"loss = (\[.*\])", table).group(1))


def golden_check(mr, k, ref, store, tmp_path):
    return mr.station("rfprobe", "--iface", mr.ifaces[k], "run", golden_plan(tmp_path, ref), "--fixture",
                      mr.fixture, "--dut", "GOLD%d" % k, "--store", store, "--station", "st1", timeout=120)


def test_fixture_cal_measures_the_true_loss_and_refuses_bad_input_before_sending(tmp_path):
    d = str(tmp_path)
    with simrig.MultiRig(2, BUILD, tester=True, cable_loss={0: flat(3.4)}, fixture_loss={0: flat(2.0)}) as mr:
        mr.start_agents()
        ref = mr.make_golden(0, d + "/gold0.toml", "GOLD0", channels=(1, 6, 11))
        with open(mr.fixture, "a") as f:
            f.write("# kept: a note under the last unit\n")
        before = open(mr.fixture).read()
        other = loss_of(mr.fixture, mr.ifaces[1])
        ch11 = tmp_path / "ch11.plan"
        ch11.write_text("enter-test-mode\nset-channel 11\n")
        ch13 = tmp_path / "ch13.plan"
        ch13.write_text("enter-test-mode\n\nset-channel 13\n")
        link = d + "/link.toml"
        os.symlink(mr.fixture, link)
        journal = len(mr.units[0].journal())
        refused = [
            # (fixture, unit, plans, what the message says)
            (mr.fixture, "GOLD0", [str(ch13)], "ch13.plan:3: set-channel 13: the golden reference %s has no "
                                               "channel 13" % ref),
            (mr.fixture, "SN9", [LINE_CAL], "the unit SN9 on %s is not the golden unit of %s (serial GOLD0)"
                                            % (mr.ifaces[0], ref)),
            (link, "GOLD0", [LINE_CAL], "link.toml: not a regular file"),
        ]
        for fixture, serial, plans, message in refused:
            args = sum((["--plan", p] for p in plans), [])
            r = mr.station("rfprobe", "fixture-cal", "--fixture", fixture, "--reference", ref, "--unit",
                           "%s=%s" % (mr.ifaces[0], serial), *args)
            assert r.returncode == 2 and message in r.stderr and "nothing was sent" in r.stderr, r.stderr
        assert len(mr.units[0].journal()) == journal and open(mr.fixture).read() == before

        r = mr.station("rfprobe", "fixture-cal", "--fixture", mr.fixture, "--reference", ref, "--unit",
                       "%s=GOLD0" % mr.ifaces[0], "--plan", LINE_CAL, "--plan", str(ch11), timeout=120)
        assert r.returncode == 0, r.stdout + r.stderr
        table = loss_of(mr.fixture, mr.ifaces[0])
        assert [p[0] for p in table] == [2437, 2462], table
        assert all(abs(p[1] - 3.4) <= 0.15 for p in table), table
        after = open(mr.fixture).read()
        assert loss_of(mr.fixture, mr.ifaces[1]) == other
        assert after.startswith("# Written by the rig") and after.endswith("# kept: a note under the last unit\n")
        assert not [f for f in os.listdir(d) if ".toml." in f]  # no temporary file left

        # The golden check through the new table passes; a run whose serial
        # is not the reference's is refused with the plan's line.
        store = d + "/r.db"
        r = golden_check(mr, 0, ref, store, tmp_path)
        assert r.returncode == 0, r.stdout + r.stderr
        r = mr.station("rfprobe", "--iface", mr.ifaces[0], "run", golden_plan(tmp_path, ref), "--fixture",
                       mr.fixture, "--dut", "SN1", "--store", store)
        assert r.returncode == 2 and ":2: golden-check: the unit SN1 is not the golden unit" in r.stderr, r.stderr


def truth_error(mr, k, tmp_path):
    """Worst |true output - set power| of unit k's chain 0 as it is now."""
    ref = mr.make_golden(k, str(tmp_path / ("truth%d.toml" % k)), "T%d" % k, channels=(6,), powers=(8, 14, 20))
    pts = json.loads(re.search(r"chain0 = (\[.*\])", open(ref).read()).group(1))
    return max(abs(out - p) for p, out in pts)


def test_a_drifting_cable_fails_the_golden_check_locks_its_port_and_fixture_cal_brings_it_back(tmp_path):
    d = str(tmp_path)
    store = d + "/r.db"
    with simrig.MultiRig(3, BUILD, tester=True) as mr:
        mr.start_agents()
        refs = [mr.make_golden(k, d + "/gold%d.toml" % k, "GOLD%d" % k, channels=(6,)) for k in range(3)]
        for k in range(3):
            r = golden_check(mr, k, refs[k], store, tmp_path)
            assert r.returncode == 0, r.stdout + r.stderr

        mr.set_cable_drift(1, 1.0)
        r = golden_check(mr, 1, refs[1], store, tmp_path)
        assert r.returncode == 1 and "FAIL" in r.stdout, r.stdout + r.stderr
        db = sqlite3.connect(store)
        kinds = db.execute("SELECT COUNT(*) FROM record_metadata WHERE key = 'kind' AND value = 'golden'"
                           ).fetchone()[0]
        db.close()
        assert kinds == 4

        def line_run(*units):
            args = sum((["--unit", "%s=SN%d" % (mr.ifaces[k], k)] for k in units), [])
            return mr.station("rfprobe", "run", LINE_CAL, "--fixture", mr.fixture, "--store", store,
                              "--station", "st1", "--require-golden", "8", "--json-record",
                              d + "/{serial}.json", *args, timeout=300)

        journal = len(mr.units[1].journal())
        r = line_run(0, 1, 2)
        assert r.returncode == 2, r.stdout + r.stderr
        assert re.search(r"port 2 \(%s\) is locked: its last golden check \(.*golden unit GOLD1, record "
                         r"[0-9a-f-]+\) is FAIL; check the cable" % mr.ifaces[1], r.stderr), r.stderr
        assert len(mr.units[1].journal()) == journal and not os.path.exists(d + "/SN1.json")
        for k in (0, 2):
            assert json.load(open(d + "/SN%d.json" % k))["verdict"] == "PASS"
            assert truth_error(mr, k, tmp_path) <= 0.4

        r = mr.station("rfprobe", "fixture-cal", "--fixture", mr.fixture, "--reference", refs[1], "--unit",
                       "%s=GOLD1" % mr.ifaces[1], "--plan", LINE_CAL, timeout=120)
        assert r.returncode == 0, r.stdout + r.stderr
        assert loss_of(mr.fixture, mr.ifaces[1])[0][0] == 2437
        assert abs(loss_of(mr.fixture, mr.ifaces[1])[0][1] - (loss_at(simrig.unit_loss(1), 2437) + 1.0)) <= 0.15
        r = golden_check(mr, 1, refs[1], store, tmp_path)
        assert r.returncode == 0, r.stdout + r.stderr
        r = line_run(1)
        assert r.returncode == 0, r.stdout + r.stderr
        assert truth_error(mr, 1, tmp_path) <= 0.4

        # The report charts each port's checks with the tolerance lines.
        r = mr.station("rfprobe", "report", "--store", store, "--html", d + "/report.html")
        assert r.returncode == 0, r.stderr
        golden = open(d + "/report.html").read().split('<h2 id="golden">')[1].split("<h2")[0]
        rows = re.findall(r'<tr><td>st1</td><td>(\d)</td><td class="num">(\d+)</td><td class="num">(\d+)</td>',
                          golden)
        assert rows == [("1", "1", "0"), ("2", "3", "1"), ("3", "1", "0")], golden
        assert golden.count('data-limit="low" data-value="-0.3"') == 3, golden


def test_the_operator_page_shows_a_locked_port_and_sends_nothing_on_its_scan(tmp_path):
    import urllib.error
    import urllib.request

    from test_serve import Line, records
    ln = Line(tmp_path, open(LINE_CAL).read(), tester=True, extra=["--require-golden", "8"])
    try:
        with urllib.request.urlopen(ln.base + "state", timeout=10) as r:
            units = json.load(r)["units"]
        for k, u in enumerate(units):
            assert u["locked"] is True, u
            assert ("port %d (stn%d) is locked: no golden check of this port on station st1" % (k + 1, k)
                    in u["message"]), u
        req = urllib.request.Request(ln.base + "start", data=b"unit=0&serial=SN1", headers={"X-Rfprobe-Token": "-"})
        with pytest.raises(urllib.error.HTTPError) as e:
            urllib.request.urlopen(req, timeout=10)
        assert e.value.code == 409 and b"is locked" in e.value.read()
        assert ln.requests_seen(0) == [] and records(ln.db) == []
    finally:
        ln.down()


def test_a_store_that_cannot_answer_refuses_the_scan_and_the_page_keeps_moving(tmp_path):
    # A session holds the records table of the line's PostgreSQL store: the
    # scan's golden check cannot be read.  The scan is refused at once,
    # saying why, and the page answers meanwhile; once the table is free the
    # check is read again.
    import urllib.error
    import urllib.request

    from test_serve import Line
    why = pgserver.unavailable()
    if why:
        pytest.skip(why)
    with pgserver.PgServer() as pg:
        url = pg.url("golden")
        subprocess.run([os.path.join(BUILD, "tools", "rfprobe"), "report", "--store", url], capture_output=True,
                       timeout=60)  # the schema
        ln = Line(tmp_path, open(LINE_CAL).read(), tester=True, extra=["--require-golden", "8"], store=url)
        holder = subprocess.Popen([os.path.join(pg.bin, "psql"), url, "-q"], stdin=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, text=True)
        try:
            def scan():
                req = urllib.request.Request(ln.base + "start", data=b"unit=0&serial=SN1",
                                             headers={"X-Rfprobe-Token": "-"})
                with pytest.raises(urllib.error.HTTPError) as e:
                    urllib.request.urlopen(req, timeout=10)
                return e.value.code, json.loads(e.value.read())["error"]

            holder.stdin.write("BEGIN; LOCK TABLE golden_checks IN ACCESS EXCLUSIVE MODE;\n")
            holder.stdin.flush()
            time.sleep(1)
            got, states = [], []
            t = threading.Thread(target=lambda: got.append(scan()))
            t.start()
            for _ in range(10):  # while the store is asked (its lock timeout is 2 s)
                with urllib.request.urlopen(ln.base + "state", timeout=10) as r:
                    states.append(r.status)
                time.sleep(0.1)
            t.join()
            assert states == [200] * 10
            assert got == [(409, "cannot check the golden unit: the results store did not answer within 150 ms "
                                 "(nothing was sent)")], got
            holder.stdin.close()
            holder.wait(timeout=30)
            holder = None
            time.sleep(0.5)  # the check under way ends
            code, said = scan()
            assert code == 409 and "is locked: no golden check of this port on station st1" in said, said
            assert ln.requests_seen(0) == []
        finally:
            if holder is not None:
                holder.stdin.close()
                holder.wait(timeout=30)
            ln.down()
