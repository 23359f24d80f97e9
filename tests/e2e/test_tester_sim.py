"""The simulated tester on the namespace rig: what it measures follows the
radio as the station drives it (the packet engine, the channel, the set
power through the PA model and the unit's true coefficients), and its
generator feeds the receive test only while it is armed."""
import pytest

import simrig
from conftest import BUILD, ON_VM

pytestmark = pytest.mark.skipif(ON_VM, reason="emulated router: the simulated tester's own checks drive a namespace rig; test_tester.py runs here")

NAN = 9.91e37


def loss_at(points, mhz):
    if mhz <= points[0][0]:
        return points[0][1]
    for (f0, d0), (f1, d1) in zip(points, points[1:]):
        if mhz <= f1:
            return d0 + (d1 - d0) * (mhz - f0) / (f1 - f0)
    return points[-1][1]


def ok(rig, *args):
    r = rig.rfprobe(*args)
    assert r.returncode == 0, "%s: %s %s" % (args, r.stdout, r.stderr)
    return r.stdout


@pytest.fixture
def trig():
    with simrig.Rig(BUILD, tester=True, seed=4242) as rig:
        rig.start_agent()
        ok(rig, "enter-test-mode")
        ok(rig, "set-channel", "6")
        ok(rig, "set-antenna", "0")
        yield rig


def measure(rig, freq=2437, bw=20, level=10):
    r = rig.tester_query("ROUT:PORT 1", "SENS:FREQ %g" % freq, "SENS:BAND %g" % bw,
                         "SENS:POW:LEV %g" % level, "MEAS:POW?", "SYST:ERR?")
    return float(r[0]), r[1]


def transmit(rig, power):
    ok(rig, "set-tx", "--rate", "0", "--bw", "20", "--power", "%g" % power)
    ok(rig, "start-tx")


def test_power_follows_the_radio_and_its_pa_model(trig):
    truth = trig.truth()
    loss = loss_at(simrig.unit_loss(0), 2437)
    powers = (8, 14, 20)
    # Stored (default) coefficients: the radio closes its loop on them and
    # sends what its true curve gives at that detector code.
    errors = []
    for p in powers:
        transmit(trig, p)
        det = int(trig.state()["txdet"])
        assert abs(simrig.pa_power((-372, 6702, -1509), det) - p) < 0.05, "the loop uses the stored curve"
        meas, queue = measure(trig, level=p)
        assert queue == '0,"No error"'
        assert abs(meas - (simrig.pa_power(truth["pa0"], det) - loss)) < 0.5
        errors.append(meas + loss - p)
    # Its own coefficients written: now it sends what it is asked for.
    ok(trig, "pa-write", "0", *[str(c) for c in truth["pa0"]])
    for p, before in zip(powers, errors):
        transmit(trig, p)
        meas, _ = measure(trig, level=p)
        assert abs(meas + loss - p) < 0.4, "calibrated: %.2f dBm at %g (uncalibrated %+.2f dB)" % (
            meas + loss, p, before)
    assert max(abs(e) for e in errors) > 0.3, "the seed's unit is off before calibration"

    # No signal: not-a-number with the reason in the queue, never a value.
    cases = [
        (dict(freq=2412), "transmits at 2437 MHz, 20 MHz wide, not at 2412 MHz"),
        (dict(bw=40), "not at 2437 MHz, 40 MHz"),
    ]
    for kw, why in cases:
        meas, queue = measure(trig, **kw)
        assert meas == NAN and queue.startswith("-230,") and why in queue, queue
    ok(trig, "stop-tx")
    meas, queue = measure(trig)
    assert meas == NAN and "not transmitting" in queue


@pytest.mark.parametrize("faults,level,low,high", [
    ((), -70, 1000, 1000),                 # far above sensitivity: every frame
    (("weak-receiver",), -86, 0, 150),     # 5 dB above a good receiver, below a weak one
    ((), -86, 990, 1000),
])
def test_generator_frames_reach_an_armed_receiver(trig, faults, level, low, high):
    trig.set_unit(faults=faults)
    loss = loss_at(simrig.unit_loss(0), 2437)
    gen = ["ROUT:PORT 1", "SOUR:FREQ 2437", "SOUR:BAND 20", "SOUR:POW %.2f" % (level + loss), "SOUR:RATE 7",
           "SOUR:FRAM:COUN 1000", "INIT:GEN", "*OPC?", "SYST:ERR?"]
    # Not armed: nothing reaches the radio (it would add it to its counter).
    assert trig.tester_query(*gen) == ["1", '0,"No error"']
    assert trig.read("sim/rxgen", "0") == "0"
    ok(trig, "start-rx", "--rate", "7", "--bw", "20")
    assert trig.tester_query(*gen) == ["1", '0,"No error"']
    out = ok(trig, "stop-rx")
    count = int(out.split("received")[1].split()[0])
    assert low <= count <= high, out


def test_one_tester_for_several_units_each_its_own():
    with simrig.MultiRig(2, BUILD, tester=True, faults={1: ["bad-crystal"]}) as mr:
        mr.start_agents()
        for k in range(2):
            for a in (["enter-test-mode"], ["set-channel", "6"], ["set-antenna", "0"]):
                assert mr.rfprobe(k, *a).returncode == 0
        assert mr.rfprobe(1, "set-tx", "--rate", "0", "--bw", "20", "--power", "15").returncode == 0
        assert mr.rfprobe(1, "start-tx").returncode == 0
        q = ["SENS:FREQ 2437", "SENS:BAND 20", "MEAS:FERR?", "SYST:ERR?"]
        r = mr.tester_query("ROUT:PORT 1", *q, "ROUT:PORT 2", *q)
        assert float(r[0]) == NAN and "port 1 is not transmitting" in r[1], "unit 0 does not transmit"
        assert 25 <= abs(float(r[2])) <= 35.5 and r[3] == '0,"No error"', r
        assert "fixture.toml" in mr.fixture and "[units.stn1]\nport = 2" in open(mr.fixture).read()


def test_station_library_through_the_rigs_fixture(trig):
    """rfprobe-tester (the station's instrument library) with the fixture the
    rig wrote: levels at the unit's port, not-a-number an error naming the
    tester and the command, generator frames counted by the agent."""
    tool = simrig.find_binary(BUILD, "rfprobe-tester", ("tools/instrument",))
    assert tool, "rfprobe-tester not built"
    truth = trig.truth()
    transmit(trig, 14)
    r = trig.station(tool, trig.fixture, "measure", "stn0", "--channel", "6", "--level", "14")
    assert r.returncode == 0, r.stderr
    at_unit = float(r.stdout.split("power ")[1].split()[0])
    assert abs(at_unit - simrig.pa_power(truth["pa0"], int(trig.state()["txdet"]))) < 0.5, r.stdout
    r = trig.station(tool, trig.fixture, "measure", "stn0", "--channel", "11")
    assert r.returncode == 1 and r.stdout == ""
    assert "(rfprobe SIMTESTER): MEAS:POW?: not-a-number (9.91E37): -230," in r.stderr, r.stderr
    ok(trig, "stop-tx")
    ok(trig, "start-rx", "--rate", "7", "--bw", "20")
    r = trig.station(tool, trig.fixture, "send", "stn0", "--channel", "6", "--level", "-70", "--rate", "7",
                     "--frames", "700")
    assert r.returncode == 0, r.stderr
    assert "received 700 frames" in ok(trig, "stop-rx")
