"""Stop and Ctrl-C reach a unit wherever it waits: queued for the shared
tester, inside a long rx-per burst, inside pa-cal.  Each stopped unit ends
within a second with an ERROR record saying "stopped", the tester is left
idle (its abort), and the next unit measures normally on the same tester.

Two units share one simulated tester; rx-per with 6000 frames keeps the
tester busy for about 3 s, so while one unit is inside the burst the other
is queued for its turn."""
import json
import os
import signal
import sqlite3
import subprocess
import sys
import time
import urllib.parse
import urllib.request

import pytest

import simrig
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim"))
import pagebridge  # noqa: E402
from conftest import BUILD, not_on_vm

pytestmark = not_on_vm("two units sharing one tester: the namespace rig")

PLANS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim", "plans")
LONG_RX = "enter-test-mode\nset-channel 6\nrx-per --rate 7 --bw 20 --level -60 --frames 6000 --per-max 10\n"
# A Stop takes at most a second; the rest is the process ending and the
# records being written.
ENDS_WITHIN = 1.0


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return str(path)


def errors(d):
    """{serial: (verdict, [step errors])} from the store in d."""
    out = {}
    with sqlite3.connect(os.path.join(d, "r.db")) as c:
        for rid, serial, verdict in c.execute("SELECT record_id, serial, verdict FROM records"):
            errs = [e for (e,) in c.execute("SELECT error FROM steps WHERE record_id = ? AND error IS NOT NULL"
                                            " ORDER BY step_index", (rid,))]
            out[serial] = (verdict, errs)
    return out


# Both of the simulated tester's dialects: ours, and a lab tester's whose
# capture is triggered, polled and fetched.
@pytest.fixture(params=sorted(simrig.TESTER_DIALECTS))
def line(request):
    if os.geteuid() != 0:
        pytest.skip("the rig needs root (network namespaces, mounts)")
    with simrig.MultiRig(2, BUILD, tester=request.param) as mr:
        mr.start_agents()
        yield mr


def run_argv(mr, plan, d, serials):
    argv = ["ip", "netns", "exec", mr.station_ns, os.path.join(BUILD, "tools", "rfprobe"), "run", plan,
            "--fixture", mr.fixture, "--store", d + "/r.db", "--station", "st1"]
    for iface, serial in zip(mr.ifaces, serials):
        argv += ["--unit", "%s=%s" % (iface, serial)]
    return argv


def armed(mr):
    """Which units' radios are armed for the generator: a unit arms its
    radio only once it holds the tester (rx-per sets the generator up
    first)."""
    return [u.state().get("rxarmed", "0") == "1" for u in mr.units]


@pytest.mark.parametrize("what", ["rx-per and the tester queue", "pa-cal"])
def test_ctrl_c_ends_every_unit_within_a_second_and_the_tester_serves_the_next_run(line, tmp_path, what):
    db = str(tmp_path)
    plan = write(tmp_path / "p.plan", LONG_RX) if what != "pa-cal" else os.path.join(PLANS, "line-cal.plan")
    p = subprocess.Popen(run_argv(line, plan, db, ["A1", "B1"]), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 20
        if what == "pa-cal":
            # Inside the calibration: its first points are measured.
            while time.monotonic() < deadline and not any(
                    os.path.exists(os.path.join(u.sim_dir, "nvramUpdate.1")) for u in line.units):
                time.sleep(0.02)
        else:
            # One unit is armed once it holds the tester; a second into
            # its 3 s burst, the other has long queued behind it.
            while time.monotonic() < deadline and not any(armed(line)):
                time.sleep(0.02)
            time.sleep(1.0)
        assert time.monotonic() < deadline, "the units never got there"
        t0 = time.monotonic()
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=30)
        took = time.monotonic() - t0
    finally:
        if p.poll() is None:
            p.kill()
            p.communicate()
    assert p.returncode == 130, out + err
    assert took < ENDS_WITHIN + 0.5, "%.2f s from Ctrl-C to exit" % took
    recs = errors(db)
    assert sorted(recs) == ["A1", "B1"], out + err
    for serial, (verdict, errs) in recs.items():
        assert verdict == "ERROR" and errs and "stopped" in errs[-1], (serial, errs)
    if what != "pa-cal":
        said = " | ".join(e for _, es in recs.values() for e in es)
        assert "stopped while waiting for the tester" in said, said
        assert "stopped during the tester's work" in said, said
    # The same tester, the next run: both units measure normally.
    r = line.station(*run_argv(line, os.path.join(PLANS, "line-tester.plan"), db, ["A2", "B2"])[4:],
                     timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    recs = errors(db)
    assert recs["A2"] == ("PASS", []) and recs["B2"] == ("PASS", []), recs


class Page:
    """rfprobe serve on the two units, reached over HTTP as its page does."""

    def __init__(self, mr, tmp_path, plan):
        self.db = str(tmp_path)
        argv = ["ip", "netns", "exec", mr.station_ns, os.path.join(BUILD, "tools", "rfprobe"), "serve",
                "--plan", write(tmp_path / "p.plan", plan), "--store", self.db + "/r.db", "--station", "st1",
                "--fixture", mr.fixture, "--listen", "127.0.0.1:0"]
        for k, iface in enumerate(mr.ifaces):
            argv += ["--unit", "%s=%s" % (iface, "AB"[k])]
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        lines = [self.proc.stdout.readline() for _ in range(2)]
        assert "the operator page is at http://" in lines[1], lines + [self.proc.stderr.read()]
        port = int(lines[1].split(" at ", 1)[1].strip()[len("http://"):].split("/")[0].rsplit(":", 1)[1])
        self.bridge = pagebridge.PageBridge(mr.station_ns, port)
        self.base = "http://%s/" % self.bridge.address

    def post(self, path, **form):
        req = urllib.request.Request(self.base + path, data=urllib.parse.urlencode(form).encode(),
                                     headers={"X-Rfprobe-Token": "-"}, method="POST")
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.read()

    def unit(self, u):
        with urllib.request.urlopen(self.base + "state", timeout=10) as r:
            return json.loads(r.read())["units"][u]

    def until(self, cond, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if cond():
                return time.monotonic()
            time.sleep(0.02)
        raise AssertionError("not within %s s" % timeout)

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.communicate(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.communicate()
        self.bridge.close()


def test_stop_on_the_page_ends_a_queued_unit_and_one_inside_rx_per_and_the_next_unit_measures(line, tmp_path):
    page = Page(line, tmp_path, LONG_RX)
    try:
        page.post("start", unit=0, serial="A1")
        page.until(lambda: armed(line)[0])
        page.post("start", unit=1, serial="B1")
        time.sleep(1.0)  # B1 queues behind A1's 3 s burst
        assert not armed(line)[1]
        for u in (1, 0):  # the queued one, then the one inside the burst
            t0 = time.monotonic()
            page.post("stop", unit=u)
            took = page.until(lambda: page.unit(u)["state"] == "done") - t0
            assert took < ENDS_WITHIN, "unit %d ended %.2f s after Stop" % (u, took)
        page.post("start", unit=1, serial="B2")
        page.until(lambda: page.unit(1)["state"] == "done" and page.unit(1).get("serial") == "B2", 30)
    finally:
        page.close()
    recs = errors(page.db)
    assert recs["A1"][0] == "ERROR" and "stopped during the tester's work" in recs["A1"][1][-1], recs
    assert recs["B1"][0] == "ERROR" and "stopped while waiting for the tester" in recs["B1"][1][-1], recs
    assert recs["B2"] == ("PASS", []), recs
