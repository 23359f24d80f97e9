"""Plan steps on the line's tester: tx-measure and rx-per through the
station's fixture, on one unit and on four sharing one tester.  What the
tester measures comes from the simulated radio and the unit's seeded
truth, so the figures are checked against that truth; every bad input
either stops the run before anything is sent or makes the step ERROR
naming the tester, with the packet engine stopped."""
import json
import os
import re
import time

import pytest

import simrig
from conftest import BUILD, ON_VM

PLANS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim", "plans")
LINE_PLAN = os.path.join(PLANS, "line-tester.plan")
RADIO = "enter-test-mode\nset-channel 6\nset-antenna 0\nset-tx --rate 0 --bw 20 --power %g\n"


def loss_at(points, mhz):
    if mhz <= points[0][0]:
        return points[0][1]
    for (f0, d0), (f1, d1) in zip(points, points[1:]):
        if mhz <= f1:
            return d0 + (d1 - d0) * (mhz - f0) / (f1 - f0)
    return points[-1][1]


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def figures(out):
    """{step: {name: value}} from the verdict lines of a run."""
    found = {}
    for m in re.finditer(r"line \d+ (tx-measure|rx-per): \w+: (.*)", out):
        found[m.group(1)] = {n: float(v) for n, v in re.findall(r"(\w+) (-?[\d.]+)", m.group(2))}
    return found


@pytest.fixture
def trig(tmp_path):
    if ON_VM:
        import vmrig
        rig = vmrig.VmRig(BUILD, tester=True, seed=4242)
    else:
        rig = simrig.Rig(BUILD, tester=True, seed=4242)
    with rig:
        rig.start_agent()
        rig.tmp = str(tmp_path)
        yield rig


@pytest.mark.parametrize("power", [10, 18])
def test_measured_power_follows_the_radio(trig, power):
    plan = write(os.path.join(trig.tmp, "p.plan"), RADIO % power +
                 "tx-measure --settle 0.05\nrx-per --rate 7 --bw 20 --level -70 --frames 200 --per-max 1\n")
    r = trig.rfprobe("run", plan, "--fixture", trig.fixture, "--dut", "SN1", "--store",
                     os.path.join(trig.tmp, "r.db"), "--json-record", os.path.join(trig.tmp, "r.json"))
    assert r.returncode == 0, r.stdout + r.stderr
    f = figures(r.stdout)
    truth = trig.truth()
    det = int(trig.state()["txdet"])
    assert abs(f["tx-measure"]["power"] - simrig.pa_power(truth["pa0"], det)) < 0.5, r.stdout
    assert abs(f["tx-measure"]["freq_error"] - truth["crystal_ppm"]) < 0.5, r.stdout
    assert f["rx-per"]["count"] == 200 and f["rx-per"]["per"] == 0, r.stdout
    assert trig.state()["pkteng"] == "0", "tx-measure stops the packet engine"
    rec = json.load(open(os.path.join(trig.tmp, "r.json")))
    assert rec["metadata"]["tester_idn"].startswith("rfprobe,SIMTESTER,")
    loss = round(loss_at(simrig.unit_loss(0), 2437), 3)
    for s in (s for s in rec["steps"] if s["command"] in ("tx-measure", "rx-per")):
        m = {x["name"]: x["value"] for x in s["measurements"]}
        assert m["path_loss"] == loss and m["tester_wait_ms"] >= 0, s


# The radio's stored curve set off from the unit's true one by a known
# amount (c1 in 1/64 dB): the radio then sends too little (stored high) or
# too much (stored low), and power_error follows with its sign.  The radio
# applies set-tx's power truncated to quarter dB: power_error is taken
# against that, and the record keeps it as applied_power.
# (set power, stored c1 minus the true one, the power the radio applies)
SET_OFF = [(17.2, 96, 17.0), (12.3, -96, 12.25), (15.9, 0, 15.75)]


# How each step that measures the transmission names its figures in the
# record: tx-measure once, tx-sweep per set power.
STEP_FIGURES = {
    "tx-measure": ("tx-measure --settle 0.05\n", "power", "power_error", "applied_power"),
    "tx-sweep": ("tx-sweep --powers %g --settle 0.05\n", "power_%g", "power_error_%g", "applied_power_%g"),
}


@pytest.mark.parametrize("step", sorted(STEP_FIGURES))
def test_power_error_is_measured_minus_the_power_the_radio_applies(trig, step):
    line, *names = STEP_FIGURES[step]
    pa0 = trig.truth()["pa0"]
    for power, off, applied in SET_OFF:
        trig.set_state(**{n: hex((c + (off if n == "pa2gw0a0" else 0)) & 0xffff)
                          for n, c in zip(("pa2gw0a0", "pa2gw1a0", "pa2gw2a0"), pa0)})
        plan = write(os.path.join(trig.tmp, "p.plan"), RADIO % power + (line % power if "%" in line else line))
        rec_path = os.path.join(trig.tmp, "r%g.json" % power)
        r = trig.rfprobe("run", plan, "--fixture", trig.fixture, "--dut", "SN1", "--store",
                         os.path.join(trig.tmp, "r.db"), "--json-record", rec_path)
        assert r.returncode == 0, r.stdout + r.stderr
        rec_step = [s for s in json.load(open(rec_path))["steps"] if s["command"] == step][0]
        m = {x["name"]: x["value"] for x in rec_step["measurements"]}
        measured, error, applied_as = (m[n % power if "%" in n else n] for n in names)
        truly = simrig.pa_power(pa0, int(trig.state()["txdet"])) - applied
        at = (step, power, off, m, truly)
        assert applied_as == applied, at
        assert abs(error - (measured - applied)) < 0.0015, at
        assert abs(error - truly) < 0.5 and (off == 0 or abs(truly) > 1), at
    if step == "tx-measure":
        assert [x["name"] for x in rec_step["measurements"]][:5] == \
            ["power", "power_error", "evm", "freq_error", "applied_power"]


# Each bad input: the files changed, the status, what stderr or the
# verdict line says, and whether anything reached the unit.
PROFILE = open(simrig.TESTER_PROFILE).read()
BAD = [
    ("no fixture", None, None, 2, "needs the tester: give --fixture FILE or RFPROBE_FIXTURE", False),
    ("malformed fixture", "[tester\nresource = 3\n", None, 2, "fixture", False),
    ("no unit in the fixture", "drop-unit", None, 2, "has no unit on interface", False),
    ("unknown operation", None, PROFILE + "warm_up = \"*WAI\"\n", 2, "warm_up", False),
    ("unknown parameter", None, PROFILE.replace("ROUT:PORT {port}", "ROUT:PORT {unit}"), 2, "unit", False),
    ("unreachable tester", "port 5999", None, 6, "tester TCPIP::127.0.0.1::5999::SOCKET", True),
    ("not-a-number", None, PROFILE.replace("SENS:FREQ {freq_mhz}", "SENS:FREQ 2412"), 6,
     "MEAS:POW?: not-a-number", True),
    # The tester's next reply (the station's first query, *IDN?) garbled or cut.
    ("garbage", "fault GARB", None, 6, "*IDN?: garbled reply", True),
    ("truncated", "fault TRUN", None, 6, "*IDN?: connection closed mid-reply", True),
    ("error queue", None, PROFILE.replace("SENS:BAND {bw_mhz}", "SENS:BAND 30"), 6,
     'SENS:BAND 30: -222,"Data out of range', True),
]


@pytest.mark.parametrize("name,fixture,profile,status,says,sent", BAD, ids=[b[0] for b in BAD])
def test_bad_input_is_refused_or_an_error_naming_the_tester(trig, name, fixture, profile, status, says,
                                                             sent):
    plan = write(os.path.join(trig.tmp, "p.plan"), RADIO % 15 + "tx-measure --evm-max -25\n")
    text = open(trig.fixture).read()
    if profile is not None:
        text = re.sub(r'profile = ".*"', 'profile = "%s"' % write(os.path.join(trig.tmp, "p.toml"), profile),
                      text)
    if fixture and fixture.startswith("fault "):
        trig.tester_query("DIAG:FAUL " + fixture.split()[1])
    elif fixture == "port 5999":
        text = text.replace("::5025::", "::5999::")
    elif fixture == "drop-unit":
        text = re.sub(r"\[units\.\w+\]", "[units.eth9]", text)
    elif fixture is not None:
        text = fixture
    args = ["run", plan] + ([] if name == "no fixture" else
                            ["--fixture", write(os.path.join(trig.tmp, "f.toml"), text)])
    before = len(trig.journal())
    t0 = time.monotonic()
    r = trig.rfprobe(*args)
    took = time.monotonic() - t0
    assert r.returncode == status, r.stdout + r.stderr
    assert says in r.stdout + r.stderr, r.stdout + r.stderr
    assert not re.search(r"tx-measure: \w+: power", r.stdout), "never a number: " + r.stdout
    if not sent:
        assert "nothing was sent" in r.stderr and len(trig.journal()) == before, r.stderr
    else:
        assert "line 5 tx-measure: ERROR" in r.stdout and took < 15, (took, r.stdout)
        assert trig.state().get("pkteng", "0") == "0", "the packet engine is stopped after an ERROR"


@pytest.mark.skipif(ON_VM, reason="four units: the namespace rig")
def test_four_units_share_one_tester_and_each_gets_its_own_verdict(tmp_path):
    d = str(tmp_path)
    with simrig.MultiRig(4, BUILD, tester=True, faults={2: ["bad-crystal"], 3: ["weak-receiver"]}) as mr:
        mr.start_agents()
        units = []
        for k, i in enumerate(mr.ifaces):
            units += ["--unit", "%s=SN%d" % (i, k)]
        r = mr.station("rfprobe", "run", LINE_PLAN, "--fixture", mr.fixture, "--store", d + "/r.db",
                       "--json-record", d + "/{serial}.json", "--station", "st1", *units, timeout=120)
        assert r.returncode == 1, r.stdout + r.stderr
        recs = [json.load(open(d + "/SN%d.json" % k)) for k in range(4)]
    verdicts = [rec["verdict"] for rec in recs]
    assert verdicts == ["PASS", "PASS", "FAIL", "FAIL"], r.stdout
    failed = {k: [(s["command"], m["name"]) for s in rec["steps"] for m in s["measurements"]
                  if m.get("verdict") == "FAIL"] for k, rec in enumerate(recs)}
    assert failed[2] == [("tx-measure", "freq_error")] and failed[3] == [("rx-per", "per")], failed
    waits = []
    for k, rec in enumerate(recs):
        assert rec["metadata"]["tester_idn"].startswith("rfprobe,SIMTESTER,")
        for s in rec["steps"]:
            if s["command"] in ("tx-measure", "rx-per"):
                m = {x["name"]: x["value"] for x in s["measurements"]}
                assert m["path_loss"] == round(loss_at(simrig.unit_loss(k), 2437), 3), (k, m)
                waits.append(m["tester_wait_ms"])
    assert max(waits) > 0, "the units queued for the tester: %s" % waits
