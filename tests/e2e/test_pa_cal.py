"""PA calibration on the line: pa-cal through the agent and the fixture's
tester, on simulated units whose true PA curves come from their seeds.
A line of four calibrates, saves and verifies, and each calibrated unit
truly sends the set power over the range (its simulated truth, not the
station's own verify, which shares the station's path loss and noise);
a broken PA fails with nothing saved; Ctrl-C or a garbled tester reply in
the middle puts the originals back; bad arguments are refused before
anything is sent.  The tester's parts run against both of the simulated
tester's dialects."""
import glob
import json
import os
import signal
import sqlite3
import subprocess
import time

import pytest

import simrig
from conftest import BUILD, ON_VM

pytestmark = pytest.mark.skipif(ON_VM, reason="emulated router: pa-cal runs on the namespace rig")

PLANS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim", "plans")
LINE_CAL = os.path.join(PLANS, "line-cal.plan")
DEFAULTS = {0: (-372, 6702, -1509), 1: (-387, 6748, -1490)}
NAMES = {0: ("pa2gw0a0", "pa2gw1a0", "pa2gw2a0"), 1: ("pa2gw0a1", "pa2gw1a1", "pa2gw2a1")}
INDEX = {0: ("97", "98", "99"), 1: ("113", "114", "115")}


def s16(text):
    v = int(text, 16) & 0xffff
    return v - 0x10000 if v & 0x8000 else v


def radio(rig, chain):
    st = rig.state()
    return tuple(s16(st[n]) for n in NAMES[chain])


def nvram(rig, chain):
    nv = rig.nvram()
    return tuple(s16(nv["pci/2/0/" + i]) if "pci/2/0/" + i in nv else None for i in INDEX[chain])


def values(step):
    return {m["name"]: m["value"] for m in step["measurements"]}


def pa_power(c, t):
    """dBm at detector code t (simrig.pa_power), None where undefined."""
    return simrig.pa_power(c, t) if 1.0 + c[2] * t / 16777216.0 > 1e-6 else None


def true_output(truth, stored, set_dbm):
    """What the unit really sends at a set power: the radio closes its loop
    on the code whose estimate with its stored coefficients is nearest
    (the lowest such), and the PA sends its true curve there."""
    best, err = 0, float("inf")
    for t in range(4096):
        p = pa_power(stored, t)
        if p is not None and abs(p - set_dbm) < err:
            best, err = t, abs(p - set_dbm)
    out = pa_power(truth, best)
    return -100.0 if out is None else out


DIALECTS = sorted(simrig.TESTER_DIALECTS)
# The columns of pa-cal's series "points", with their units.
POINT_COLUMNS = [("set_power", "dBm"), ("code", ""), ("measured", "dBm"), ("loss", "dB"),
                 ("round", ""), ("verify", ""), ("dropped", "")]
# The simulated tester's command that garbles its next reply, per dialect.
GARBLE = {"sim": "DIAG:FAUL GARB", "lab": "DIAGNOSTIC:FAULT GARBAGE"}


@pytest.mark.parametrize("dialect", DIALECTS)
def test_a_line_of_four_calibrates_saves_and_verifies_and_a_broken_pa_saves_nothing(tmp_path, dialect):
    d = str(tmp_path)
    with simrig.MultiRig(4, BUILD, tester=dialect, faults={3: ["broken-pa"]}) as mr:
        mr.start_agents()
        units = []
        for k, i in enumerate(mr.ifaces):
            units += ["--unit", "%s=SN%d" % (i, k)]
        r = mr.station("rfprobe", "run", LINE_CAL, "--fixture", mr.fixture, "--store", d + "/r.db",
                       "--json-record", d + "/{serial}.json", "--station", "st1", *units, timeout=240)
        assert r.returncode == 1, r.stdout + r.stderr
        recs = [json.load(open(d + "/SN%d.json" % k)) for k in range(4)]
        assert [rec["verdict"] for rec in recs] == ["PASS", "PASS", "PASS", "FAIL"], r.stdout
        own = set()
        stored = {}
        for k, rig in enumerate(mr.units[:3]):
            cal = [s for s in recs[k]["steps"] if s["command"] == "pa-cal"]
            assert len(cal) == 2
            for chain, step in enumerate(cal):
                v = values(step)
                fitted = (v["pa1"], v["pa2"], v["pa3"])
                assert (v["pa1_before"], v["pa2_before"], v["pa3_before"]) == DEFAULTS[chain]
                assert fitted != DEFAULTS[chain] and fitted not in own, (k, chain, fitted)
                own.add(fitted)
                # In the radio and, after pa-save, in NVRAM.
                assert radio(rig, chain) == fitted and nvram(rig, chain) == fitted, (k, chain)
                # Every point in the step's series, none as a measurement;
                # the error predicted over the range in another, its worst
                # the step's range_error.
                named = {t["name"]: t for t in step["series"]}
                assert sorted(named) == ["points", "range"], sorted(named)
                rng = named["range"]
                assert [(c["name"], c["unit"]) for c in rng["columns"]] == [("set_power", "dBm"),
                                                                          ("predicted_error", "dB")]
                assert [row[0] for row in rng["rows"]] == list(range(5, 22)), rng["rows"]
                assert max(abs(row[1]) for row in rng["rows"]) == abs(v["range_error"]), rng["rows"]
                series = named["points"]
                cols = [(c["name"], c["unit"]) for c in series["columns"]]
                assert series["name"] == "points" and cols == POINT_COLUMNS, series
                points = [dict(zip([c for c, _ in cols], row)) for row in series["rows"]]
                assert v["measurements"] == len(points) >= 8 and v["path_loss"] > 0
                assert not [n for n in v if n.startswith("p") and n[1:2].isdigit()], sorted(v)
                assert {p["round"] for p in points} >= {1} and all(p["dropped"] in (0, 1, 2) for p in points)
                assert all(abs(p["measured"] - p["set_power"]) < 3 for p in points if p["verify"]), points
                stored[(recs[k]["record_id"], step["index"])] = series["rows"]
                assert all(abs(m["value"]) <= 0.5 for m in step["measurements"]
                           if m["name"].startswith("verify_error_")), step
            checks = [values(s)["power_error"] for s in recs[k]["steps"] if s["command"] == "tx-measure"]
            assert len(checks) == 3 and all(abs(e) <= 0.4 for e in checks), (k, checks)
            # What leaves the line: the unit's true output with the saved
            # coefficients, at both ends of the range and its middle.
            truth = rig.truth()
            for chain in (0, 1):
                real = truth["pa%d" % chain]
                errors = [true_output(real, radio(rig, chain), p) - p for p in (5, 13, 21)]
                assert all(abs(e) <= 0.4 for e in errors), (k, chain, errors)
        # The store holds the same points, value for value.
        with sqlite3.connect(d + "/r.db") as db:
            for (rid, idx), rows in stored.items():
                got = db.execute("SELECT v.row_index, v.column_index, v.value FROM series_values v"
                                 " JOIN series_columns c USING (record_id, step_index, series_index, column_index)"
                                 " WHERE v.record_id = ? AND v.step_index = ? AND c.series = 'points'"
                                 " ORDER BY 1, 2", (rid, idx)).fetchall()
                assert got == [(i, c, v) for i, row in enumerate(rows) for c, v in enumerate(row)], (rid, idx)
        # The broken PA: FAIL on its first chain's fit, before any write:
        # the radio keeps its originals and the NVRAM tool never ran.
        broken = mr.units[3]
        failed = [(s["command"], m["name"]) for s in recs[3]["steps"] for m in s["measurements"]
                  if m["verdict"] == "FAIL"]
        assert failed and all(c == "pa-cal" for c, _ in failed), failed
        assert "pa-save" not in [s["command"] for s in recs[3]["steps"]]
        assert radio(broken, 0) == DEFAULTS[0] and radio(broken, 1) == DEFAULTS[1]
        assert not glob.glob(os.path.join(broken.sim_dir, "nvramUpdate.*")) and not broken.nvram()


@pytest.mark.parametrize("dialect", DIALECTS)
@pytest.mark.parametrize("cut,status,says", [
    ("ctrl-c", 130, "stopped"),
    ("garbage from the tester", 6, "tester"),
])
def test_a_calibration_cut_short_after_its_write_puts_the_originals_back(tmp_path, cut, status, says, dialect):
    plan = tmp_path / "cal.plan"
    # A long settle time keeps the step in its verify measurements, after
    # the first write, when the cut comes.
    plan.write_text("enter-test-mode\nset-channel 6\npa-cal 0 --settle 0.4\npa-save\n")
    with simrig.Rig(BUILD, tester=dialect, seed=1234) as rig:
        rig.start_agent()
        p = subprocess.Popen(["ip", "netns", "exec", rig.station_ns, os.path.join(rig.tools_dir, "rfprobe"),
                              "--iface", rig.station_if, "run", str(plan), "--fixture", rig.fixture],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 30
        while not glob.glob(os.path.join(rig.sim_dir, "nvramUpdate.1")) and time.monotonic() < deadline:
            time.sleep(0.02)
        assert radio(rig, 0) != DEFAULTS[0], "the fit was written"
        time.sleep(0.2)
        if cut == "ctrl-c":
            p.send_signal(signal.SIGINT)
        else:
            rig.tester_query(GARBLE[dialect])  # the station's next reply
        out, err = p.communicate(timeout=30)
        assert p.returncode == status, out + err
        assert says in out + err and "original coefficients were written back" in out + err, out + err
        assert radio(rig, 0) == DEFAULTS[0] and nvram(rig, 0) == DEFAULTS[0]
        # pa-save never ran: every file the NVRAM tool got is one chain's write.
        handed = sorted(glob.glob(os.path.join(rig.sim_dir, "nvramUpdate.*")))
        assert len(handed) == 2, handed
        for f in handed:
            lines = open(f).read().split()
            assert lines[0] == "ID=pci/2/0/" and [l.split("=")[0] for l in lines[1:]] == list(INDEX[0]), lines


# The agent replies to pa-write whatever its shell did: a radio that takes
# the write and keeps its old coefficients (the simulated wl's "drop") is
# caught by reading the chain back.  Every write dropped: the fit never
# reaches the chain, which still holds the originals.  The restore dropped
# (after a first fit that did reach it): the chain keeps the fit, and
# nothing may say the originals were written back.
@pytest.mark.parametrize("dropped", ["every write", "the restore"])
def test_a_write_the_radio_does_not_keep_is_an_error_naming_both(tmp_path, dropped):
    plan = tmp_path / "cal.plan"
    # One round at a tolerance no unit meets: FAIL, then the restore; the
    # settle time keeps the step in its verify while the fault is set.
    plan.write_text("enter-test-mode\nset-channel 6\npa-cal 0 --settle 0.3 --tolerance 0.01 --max-rounds 1\n")
    rec = str(tmp_path / "r.json")
    with simrig.Rig(BUILD, tester=True, seed=1234) as rig:
        rig.start_agent()
        if dropped == "every write":
            rig.set_fault("wl", "pavars", drop=True)
        p = subprocess.Popen(["ip", "netns", "exec", rig.station_ns, os.path.join(rig.tools_dir, "rfprobe"),
                              "--iface", rig.station_if, "run", str(plan), "--fixture", rig.fixture,
                              "--dut", "SN1", "--store", str(tmp_path / "r.db"), "--json-record", rec],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if dropped == "the restore":
            deadline = time.monotonic() + 30
            while not glob.glob(os.path.join(rig.sim_dir, "nvramUpdate.1")) and time.monotonic() < deadline:
                time.sleep(0.02)
            rig.set_fault("wl", "pavars", drop=True)
        out, err = p.communicate(timeout=60)
        held = radio(rig, 0)
    text = out + err
    assert p.returncode == 4, text
    step = [s for s in json.load(open(rec))["steps"] if s["command"] == "pa-cal"][0]
    v = values(step)
    assert (v["pa1"], v["pa2"], v["pa3"]) == held, (v, held)
    # The fit's write and the restore, each read back (pa-write, pa-read).
    c = [x["request"]["code"] for x in step["exchanges"]]
    assert c.count(0x93) == 2 and all(c[i + 1] == 0x92 for i, x in enumerate(c) if x == 0x93), c
    if dropped == "every write":
        assert held == DEFAULTS[0]
        assert "pa-cal: chain 0: wrote " in text and "read back %d,%d,%d;" % DEFAULTS[0] in text, text
        assert "the original coefficients were written back" in text, text
    else:
        assert held != DEFAULTS[0], "the first fit reached the chain"
        assert "writing the original coefficients back failed: chain 0: wrote %d,%d,%d, read back %d,%d,%d" % (
            DEFAULTS[0] + held) in text, text
        assert "were written back" not in text, text


@pytest.fixture(scope="module")
def one_unit():
    with simrig.Rig(BUILD, tester=True, seed=7) as rig:
        rig.start_agent()
        yield rig


@pytest.mark.parametrize("args,says", [
    (["--powers", "8,12"], "at least 3 powers"),
    (["--powers", "8,12,12,20"], "12 dBm is given twice"),
    (["--powers", "4,12,20"], "outside the radio's range 5..21 dBm"),
    (["--powers", "8,12,x"], "power"),
    (["--tolerance", "0"], "tolerance 0 dB is outside"),
    (["--max-rounds", "11"], "11"),
    (["--range", "5..7"], "at least 3 dB wide"),
    (["--range", "4..21"], "not within the radio's range 5..21 dBm"),
    (["--range", "..21"], "needs both ends"),
])
def test_bad_arguments_are_refused_before_anything_is_sent(one_unit, tmp_path, args, says):
    plan = tmp_path / "bad.plan"
    plan.write_text("enter-test-mode\nset-channel 6\npa-cal 0 %s\n" % " ".join(args))
    before = one_unit.journal()
    r = one_unit.rfprobe("run", str(plan), "--fixture", one_unit.fixture)
    assert r.returncode == 2, r.stdout + r.stderr
    assert says in r.stderr and "nothing was sent" in r.stderr, r.stderr
    assert one_unit.journal() == before
