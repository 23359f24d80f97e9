"""The station on the factory's message bus: a private RabbitMQ node (its
AMQP 1.0 plugin) and the MES simulator (sim/mes.py) in the station's
namespace, four simulated routers.  The route check refuses a unit that
failed the previous station (enforced) or records the MES's answer
(advisory); every kept record's WorkStarted, UnitsTested and WorkCompleted
reach the MES with the record's measurements and limits; a broker killed
during the line loses nothing; the MES's wrong answers and a broker that
refuses the station each refuse the unit with a message that says why.
"""
import json
import os
import sqlite3
import subprocess
import sys
import time

import pytest

import simrig
from conftest import BUILD, not_on_vm

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
import busbroker  # noqa: E402

pytestmark = not_on_vm("the bus is tested on the namespace rig")

MES = os.path.join(HERE, "..", "..", "sim", "mes.py")
PLAN = """enter-test-mode
set-channel 6
rx --rate 15 --bw 40 --seconds {seconds} --min {low} --max {high}
pa-read 0 --pa1 -400..-350 --pa2 6000..7000
exit-test
"""


def plan_text(seconds):
    """2000 frames/s are counted: the limits follow the receive time."""
    return PLAN.format(seconds=seconds, low=int(1400 * seconds), high=int(2600 * seconds))


PASSED = ["SN0000", "SN0001", "SN0003"]  # SN0002 failed the previous station


def bus_file(tmp_path, url, mode="enforced", request="/queue/mes.requests", user="guest:guest", name="bus.toml"):
    (tmp_path / "cred").write_text(user + "\n")
    p = tmp_path / name
    p.write_text('[broker]\nurl = "%s"\ncredentials = "cred"\n'
                 '[station]\nhandle = "acme.rfprobe.st1"\npublish = "/queue/cfx.results"\n'
                 '[route_check]\nmode = "%s"\nrequest = "%s"\ntarget = "factory.mes.sim"\ntimeout = 1.5\n'
                 % (url, mode, request))
    return str(p)


class Line:
    def __init__(self, rig, broker, tmp_path):
        self.rig, self.broker, self.tmp = rig, broker, tmp_path
        self.received = str(tmp_path / "mes.jsonl")
        self.mes = None

    def start_mes(self, *extra):
        argv = ["ip", "netns", "exec", self.rig.station_ns, "/usr/bin/python3", MES, "--broker", self.broker.url,
                "--user", "guest", "--password", "guest", "--received", self.received]
        for s in PASSED:
            argv += ["--passed", s]
        self.mes = subprocess.Popen(argv + list(extra), stdout=subprocess.PIPE, text=True)
        assert self.mes.stdout.readline().strip() == "ready"

    def stop_mes(self):
        if self.mes:
            self.mes.terminate()
            self.mes.wait()
            self.mes = None

    def run(self, plan_seconds, units, *extra, timeout=90):
        plan = self.tmp / "bus.plan"
        plan.write_text(plan_text(plan_seconds))
        argv = ["rfprobe", "run", str(plan), "--store", str(self.tmp / "r.db"), "--spool", str(self.tmp / "s.db"),
                "--station", "st1"]
        for k in units:
            argv += ["--unit", "stn%d=SN%04d" % (k, k)]
        return self.rig.station(*(argv + list(extra)), timeout=timeout)

    def got(self, count, within=30):
        """The MES's messages once it has count of them (repeats dropped by id)."""
        deadline = time.monotonic() + within
        while True:
            seen, out = set(), []
            if os.path.exists(self.received):
                for line in open(self.received):
                    m = json.loads(line)
                    if m["message_id"] not in seen:
                        seen.add(m["message_id"])
                        out.append(json.loads(m["body"]))
            if len(out) >= count or time.monotonic() > deadline:
                return out
            time.sleep(0.2)


@pytest.fixture
def line(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("the rig needs root (network namespaces, mounts)")
    why = busbroker.unavailable()
    if why:
        pytest.skip(why)
    rig = simrig.MultiRig(4, BUILD)
    rig.up()
    broker = line_ = None
    try:
        rig.start_agents(manual=True)
        subprocess.run(["ip", "netns", "exec", rig.station_ns, "ip", "link", "set", "lo", "up"], check=True)
        broker = busbroker.Broker(netns=rig.station_ns).start()
        line_ = Line(rig, broker, tmp_path)
        yield line_
    finally:
        if line_:
            line_.stop_mes()
        if broker:
            broker.destroy()
        rig.down()


def records(db):
    with sqlite3.connect(db) as c:
        return {s: (rid, v) for rid, s, v in c.execute("SELECT record_id, serial, verdict FROM records")}


def stored_measurements(db, rid):
    with sqlite3.connect(db) as c:
        return [(n, v, lo, hi) for n, v, lo, hi in c.execute(
            "SELECT name, value, low, high FROM measurement_rows WHERE record_id = ? ORDER BY step_index,"
            " measurement_index", (rid,))]


def sent_measurements(units_tested):
    unit, = units_tested["MessageBody"]["TestedUnits"]
    return [(m["MeasurementName"], m["MeasuredValue"]["Value"], m["MeasuredValue"]["MinimumAcceptableValue"],
             m["MeasuredValue"]["MaximumAcceptableValue"]) for t in unit["Tests"] for m in t["Measurements"]]


def test_route_check_refuses_and_every_record_reaches_the_mes(line):
    line.start_mes()
    db = str(line.tmp / "r.db")
    r = line.run(0.5, range(4), "--bus", bus_file(line.tmp, line.broker.url))
    assert r.returncode == 2, r.stdout + r.stderr
    assert ("stn2 SN0002: route check: the MES refused it: SN0002 has no PASS from the previous station (ICT)"
            in r.stderr), r.stderr
    assert not [l for l in line.rig.units[2].agent_lines() if l.startswith("--cmdType")]  # nothing sent to it
    recs = records(db)
    assert sorted(recs) == PASSED
    msgs = line.got(9)
    assert len(msgs) == 9
    for serial, (rid, verdict) in recs.items():
        mine = [m for m in msgs if m["MessageBody"].get("TransactionID", m["MessageBody"].get("TransactionId")) == rid]
        assert [m["MessageName"] for m in mine] == ["CFX.Production.WorkStarted",
                                                    "CFX.Production.TestAndInspection.UnitsTested",
                                                    "CFX.Production.WorkCompleted"]
        tested = mine[1]
        assert tested["Source"] == "acme.rfprobe.st1"
        unit, = tested["MessageBody"]["TestedUnits"]
        assert (unit["UnitIdentifier"], unit["OverallResult"]) == (serial, "Passed" if verdict == "PASS" else "Failed")
        assert sent_measurements(tested) == stored_measurements(db, rid)
        units = {m["MeasurementName"]: m["MeasuredValue"]["ValueUnits"] for t in unit["Tests"]
                 for m in t["Measurements"]}
        assert units["count"] is None and units["pa1"] is None, units
    # Advisory: the same serial is tested, the MES's answer in its record.
    r = line.run(0.5, [2], "--bus", bus_file(line.tmp, line.broker.url, mode="advisory"))
    assert r.returncode in (0, 1), r.stdout + r.stderr
    rid = records(db)["SN0002"][0]
    with sqlite3.connect(db) as c:
        meta, = c.execute("SELECT value FROM record_metadata WHERE record_id = ? AND key = 'mes_route_check'",
                          (rid,)).fetchone()
    assert meta == "Failed: SN0002 has no PASS from the previous station (ICT) (failure code 1)"


def test_broker_killed_mid_line_loses_nothing(line):
    line.start_mes()
    bus = bus_file(line.tmp, line.broker.url, mode="off")
    (line.tmp / "bus.plan").write_text(plan_text(3))
    run = subprocess.Popen(["ip", "netns", "exec", line.rig.station_ns, os.path.join(BUILD, "tools", "rfprobe"),
                            "run", str(line.tmp / "bus.plan"), "--store", str(line.tmp / "r.db"),
                            "--spool", str(line.tmp / "s.db"), "--station", "st1", "--bus", bus]
                           + sum([["--unit", "stn%d=SN%04d" % (k, k)] for k in range(4)], []),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(0.5)
    line.broker.kill()
    out, err = run.communicate(timeout=90)
    assert run.returncode == 0, out + err
    assert "the bus:" in err and "wait in the outbox" in err, err
    r = line.rig.station("rfprobe", "report", "--store", str(line.tmp / "r.db"))
    assert "Bus outbox: 12 message(s) waiting" in r.stdout, r.stdout
    line.broker.start()
    r = line.rig.station("rfprobe", "sync", "--store", str(line.tmp / "r.db"), "--spool", str(line.tmp / "s.db"),
                         "--bus", bus, timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "12 bus message(s) sent" in r.stdout
    msgs = line.got(12, within=60)
    assert len(msgs) == 12
    for rid, _ in records(str(line.tmp / "r.db")).values():
        names = [m["MessageName"] for m in msgs
                 if m["MessageBody"].get("TransactionID", m["MessageBody"].get("TransactionId")) == rid]
        assert names == ["CFX.Production.WorkStarted", "CFX.Production.TestAndInspection.UnitsTested",
                         "CFX.Production.WorkCompleted"]


# Each wrong answer or refusing broker: the unit is refused, nothing is sent
# to it, no record, and the message says what happened.
FAULTS = [
    ("wrong credentials", {"user": "guest:nope"}, [], "no answer from the MES: amqp://"),
    ("unknown address", {"request": "/exchange/no-such-exchange/x"}, [], "NOT_FOUND - no exchange 'no-such-exchange'"),
    ("malformed answer", {}, ["--misbehave", "SN0000=malformed"], "malformed ValidateUnitsResponse"),
    ("another serial", {}, ["--misbehave", "SN0000=other-serial"], "for another serial (OTHER-SN0000)"),
    ("no answer", {}, ["--misbehave", "SN0000=silent"], "no answer within 1500 ms"),
]


def test_bad_answers_and_brokers_refuse_the_unit_and_say_why(line):
    for name, opts, mes, expect in FAULTS:
        line.stop_mes()
        line.start_mes(*mes)
        bus = bus_file(line.tmp, line.broker.url, **opts, name=name.replace(" ", "_") + ".toml")
        r = line.run(0.2, [0], "--bus", bus)
        assert r.returncode == 2, name + ": " + r.stdout + r.stderr
        assert "stn0 SN0000: route check: " in r.stderr and expect in r.stderr, name + ": " + r.stderr
        assert "nothing was sent to it, no record" in r.stderr
    assert not os.path.exists(str(line.tmp / "r.db")) or not records(str(line.tmp / "r.db"))
    # A late answer to an earlier check is dropped by the next one.
    line.stop_mes()
    line.start_mes("--misbehave", "SN0001=late")
    r = line.run(0.2, [1], "--bus", bus_file(line.tmp, line.broker.url))
    assert "no answer within 1500 ms" in r.stderr, r.stderr
    time.sleep(4)  # the late answer is now in the reply queue
    r = line.run(0.2, [0], "--bus", bus_file(line.tmp, line.broker.url))
    assert r.returncode == 0, r.stdout + r.stderr
