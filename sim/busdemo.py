#!/usr/bin/python3
"""The demo's line on the factory's message bus (scripts/demo --units N):
N simulated routers, a private RabbitMQ node (AMQP 1.0) and the MES
simulator in the station's namespace.  The MES knows every serial but the
second as passed at the previous station, so the route check (enforced)
refuses that one; the others are tested and their records' messages reach
the MES, which prints what it received.

    sim/busdemo.py --build DIR --units N
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import busbroker  # noqa: E402
import simrig  # noqa: E402

PLAN = """enter-test-mode
set-channel 6
rx --rate 15 --bw 40 --seconds 0.5 --min 700 --max 1300
pa-read 0 --pa1 -400..-350 --pa2 6000..7000
exit-test
"""


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", required=True)
    p.add_argument("--units", type=int, default=4)
    a = p.parse_args()
    why = busbroker.unavailable()
    if why:
        print("(the bus part of the demo is left out: %s)" % why)
        return 0
    n = max(a.units, 2)
    serials = ["BUS-%04d" % (k + 1) for k in range(n)]
    d = tempfile.mkdtemp(prefix="rfprobe-busdemo-")
    rig = simrig.MultiRig(n, a.build).up()
    broker = mes = None
    try:
        rig.start_agents(manual=True)
        subprocess.run(["ip", "netns", "exec", rig.station_ns, "ip", "link", "set", "lo", "up"], check=True)
        broker = busbroker.Broker(netns=rig.station_ns).start()
        with open(os.path.join(d, "cred"), "w") as f:
            f.write("guest:guest\n")
        bus = os.path.join(d, "bus.toml")
        with open(bus, "w") as f:
            f.write('[broker]\nurl = "%s"\ncredentials = "cred"\n\n'
                    '[station]\nhandle = "acme.rfprobe.demo1"\npublish = "/queue/cfx.results"\n\n'
                    '[route_check]\nmode = "enforced"\nrequest = "/queue/mes.requests"\n'
                    'target = "factory.mes.sim"\ntimeout = 2.0\n' % broker.url)
        print("\n\033[1m== The bus configuration (%s)\033[0m" % bus)
        print(open(bus).read())
        received = os.path.join(d, "mes.jsonl")
        argv = ["ip", "netns", "exec", rig.station_ns, "/usr/bin/python3", os.path.join(HERE, "mes.py"),
                "--broker", broker.url, "--user", "guest", "--password", "guest", "--received", received]
        for s in serials[:1] + serials[2:]:
            argv += ["--passed", s]
        mes = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
        mes.stdout.readline()
        plan = os.path.join(d, "bus.plan")
        with open(plan, "w") as f:
            f.write(PLAN)
        units = sum((["--unit", "stn%d=%s" % (k, s)] for k, s in enumerate(serials)), [])
        print("\033[1m== rfprobe run bus.plan %s --bus bus.toml\033[0m" % " ".join(units))
        subprocess.call(["ip", "netns", "exec", rig.station_ns, os.path.join(rig.units[0].tools_dir, "rfprobe"),
                         "run", plan] + units + ["--store", os.path.join(d, "r.db"), "--spool",
                                                 os.path.join(d, "s.db"), "--station", "demo1", "--bus", bus])
        print("\n\033[1m== What the MES received\033[0m")
        import time
        want = 3 * (n - 1)
        for _ in range(100):
            if os.path.exists(received) and sum(1 for _ in open(received)) >= want:
                break
            time.sleep(0.1)
        for line in open(received) if os.path.exists(received) else []:
            m = json.loads(line)
            body = json.loads(m["body"])
            b = body["MessageBody"]
            if body["MessageName"].endswith("UnitsTested"):
                u = b["TestedUnits"][0]
                meas = ["%s=%s%s" % (x["MeasurementName"], x["MeasuredValue"]["Value"],
                                     " " + x["MeasuredValue"]["ValueUnits"] if x["MeasuredValue"]["ValueUnits"]
                                     else "")
                        for t in u["Tests"] for x in t["Measurements"]]
                print("%-46s %s %s: %d tests; %s" % (body["MessageName"], u["UnitIdentifier"], u["OverallResult"],
                                                     len(u["Tests"]), ", ".join(meas[:4]) + ", ..."))
            else:
                print("%-46s %s %s" % (body["MessageName"], b["PrimaryIdentifier"], b.get("Result", "")))
        print("\nOne UnitsTested in full:")
        for line in open(received) if os.path.exists(received) else []:
            body = json.loads(json.loads(line)["body"])
            if body["MessageName"].endswith("UnitsTested"):
                body["MessageBody"]["TestedUnits"][0]["Tests"] = body["MessageBody"]["TestedUnits"][0]["Tests"][2:3]
                print(json.dumps(body, indent=2))
                print("(one test of %s shown)" % body["MessageBody"]["TestedUnits"][0]["UnitIdentifier"])
                break
    finally:
        if mes:
            mes.terminate()
            mes.wait()
        if broker:
            broker.destroy()
        rig.down()
        subprocess.call(["rm", "-rf", d])
    return 0


if __name__ == "__main__":
    sys.exit(main())
