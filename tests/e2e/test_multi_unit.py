"""Several simulated routers on one station, one interface each.

The agents' replies are identical broadcasts from 192.168.1.1, so a unit is
known only by the station interface its reply arrives on: these tests check
that each request reaches only its own router and each reply comes back
only on its own interface, with all units busy at once.
"""
import os
import subprocess

import pytest

import simrig
from conftest import BUILD

UNITS = 4


@pytest.fixture
def line():
    """UNITS routers up, each agent serving in manual mode."""
    if os.geteuid() != 0:
        pytest.skip("the rig needs root (network namespaces, mounts)")
    rig = simrig.MultiRig(UNITS, BUILD)
    rig.up()
    try:
        rig.start_agents(manual=True)
        yield rig
    finally:
        for u in rig.units:
            print("---- unit %d agent ----\n%s\n---- journal ----\n%s"
                  % (u.unit, u.agent_log(), "\n".join(u.journal())))
        rig.down()


def test_each_unit_answers_on_its_own_interface(line):
    assert line.ifaces == ["stn%d" % k for k in range(UNITS)]
    for k in range(UNITS):
        r = line.rfprobe(k, "set-channel", "1")
        assert r.returncode == 0, "unit %d: %s%s" % (k, r.stdout, r.stderr)


def test_units_at_once_stay_apart(line):
    # Every unit at the same moment, each with its own transmit power: its
    # router alone runs the command with that power.
    argv = [[os.path.join(u.tools_dir, "rfprobe"), "--iface", u.station_if, "--json",
             "set-tx", "--rate", "0", "--bw", "20", "--power", str(10 + k)]
            for k, u in enumerate(line.units)]
    procs = [subprocess.Popen(["ip", "netns", "exec", line.station_ns] + a, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) for a in argv]
    outs = [p.communicate(timeout=30) for p in procs]
    for k, (p, (out, err)) in enumerate(zip(procs, outs)):
        assert p.returncode == 0, "unit %d: %s%s" % (k, out, err)
        assert len(out.strip().split("\n")) == 1, "unit %d got more than its own reply: %s" % (k, out)
    for k, u in enumerate(line.units):
        powers = [l for l in u.journal() if l.startswith("wl txpwr1")]
        assert powers == ["wl txpwr1 -o -q %d" % ((10 + k) * 4)], "unit %d ran %s" % (k, powers)


def test_down_removes_every_unit():
    if os.geteuid() != 0:
        pytest.skip("the rig needs root (network namespaces, mounts)")
    rig = simrig.MultiRig(2, BUILD).up()
    names = [rig.station_ns] + [u.router_ns for u in rig.units]
    dirs = [u.run_dir for u in rig.units]
    r = rig.station("ip", "-br", "link")
    assert "stn0" in r.stdout and "stn1" in r.stdout
    rig.down()
    rig.down()
    listed = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    assert not [n for n in names if n in listed.split()]
    assert not [d for d in dirs if os.path.exists(d)]
