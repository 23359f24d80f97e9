"""Fixtures: a fresh simulated router per test, with the real agent in it.

RFPROBE_BUILD names the build directory (default /work/main/build); the
agent, the station tool `rfprobe` and the simulated tools are taken from it.
RFPROBE_TARGET=vm runs the same tests on the emulated MIPS router
(sim/vm/vmrig.py, images from sim/vm/build) instead of the namespace rig.
"""
import json
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "sim"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "sim", "vm"))

import simrig  # noqa: E402

BUILD = os.path.abspath(os.environ.get("RFPROBE_BUILD", "/work/main/build"))
STATION_PKT = os.path.join(HERE, "station_pkt.py")
ON_VM = os.environ.get("RFPROBE_TARGET", "rig") == "vm"


def not_on_vm(reason):
    """Skip a test on the emulated router, saying why in one line."""
    return pytest.mark.skipif(ON_VM, reason="emulated router: " + reason)


def make_rig():
    if ON_VM:
        import vmrig
        return vmrig.VmRig(BUILD)
    return simrig.Rig(BUILD)


def pytest_collection_modifyitems(config, items):
    if os.geteuid() != 0:
        skip = pytest.mark.skip(reason="the rig needs root (network namespaces, mounts)")
        for item in items:
            if "rig" in getattr(item, "fixturenames", ()):
                item.add_marker(skip)


class Station:
    """The test station's side of a rig."""

    def __init__(self, rig):
        self.rig = rig

    def rfprobe(self, *args, timeout=30.0):
        r = self.rig.rfprobe(*args, timeout=timeout)
        return r

    def exchange(self, frames=(), run=None, expect=0, timeout=3.0):
        """Sniff replies while sending raw frames (bytes) and/or running a
        command in the station namespace.  Returns (replies, result) where
        replies are the reply frames as bytes, in arrival order."""
        job = dict(iface=simrig.STATION_IF, frames=[bytes(f).hex() for f in frames],
                   run=list(run) if run else None, expect=expect, timeout=timeout)
        r = self.rig.station("/usr/bin/python3", STATION_PKT, input=json.dumps(job),
                             timeout=timeout + 60)
        assert r.returncode == 0, "station helper failed:\n" + r.stderr
        result = json.loads(r.stdout)
        return [bytes.fromhex(h) for h in result.pop("replies")], result

    def rfprobe_argv(self, *args):
        assert self.rig.tools_dir, "rfprobe station tool not found in " + BUILD
        return [os.path.join(self.rig.tools_dir, "rfprobe"), "--iface", simrig.STATION_IF] + list(args)


def _report(rig):
    # Shown by pytest only when the test fails.
    print("---- agent stdout ----\n" + rig.agent_log())
    print("---- agent stderr ----\n" + rig.read("agent.err"))
    print("---- journal ----\n" + "\n".join(rig.journal()))
    if rig.smd is not None:
        print("---- smd ----\n" + rig.read("smd.log"))


@pytest.fixture
def rig():
    """A rig that is up, with nothing started in it yet."""
    r = make_rig()
    if not r.agent_bin:
        pytest.fail("no rfprobe-agent in " + BUILD)
    r.up()
    try:
        yield r
    finally:
        if r.run_dir:
            _report(r)
        r.down()


@pytest.fixture
def agent(rig):
    """A rig with the agent serving in manual mode."""
    rig.start_agent(manual=True)
    return rig


@pytest.fixture
def station(rig):
    return Station(rig)
