"""Fixtures: a fresh simulated router per test, with the real agent in it.

RFPROBE_BUILD names the build directory (default: build/ of this checkout); the
agent, the station tool `rfprobe` and the simulated tools are taken from it.
RFPROBE_TARGET=vm runs the same tests on the emulated MIPS router
(sim/vm/vmrig.py, images from sim/vm/build) instead of the namespace rig.
"""
import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "sim"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "sim", "vm"))

import simrig  # noqa: E402

BUILD = os.path.abspath(simrig.default_build())
STATION_PKT = os.path.join(HERE, "station_pkt.py")
NO_REPLY = 4  # rfprobe's exit status when no reply came
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
        replies are the reply frames as bytes, in arrival order.  On the
        emulated router, where commands take several times as long, the
        wait for the expected replies is five times as long."""
        if ON_VM:
            timeout *= 5
        job = dict(iface=simrig.STATION_IF, frames=[bytes(f).hex() for f in frames],
                   run=list(run) if run else None, expect=expect, timeout=timeout)
        r = self.rig.station("/usr/bin/python3", STATION_PKT, input=json.dumps(job),
                             timeout=timeout + 60)
        assert r.returncode == 0, "station helper failed:\n" + r.stderr
        result = json.loads(r.stdout)
        self.rig.sniffed_replies = getattr(self.rig, "sniffed_replies", 0) + len(result["replies"])
        return [bytes.fromhex(h) for h in result.pop("replies")], result

    def rfprobe_argv(self, *args):
        assert self.rig.tools_dir, "rfprobe station tool not found in " + BUILD
        return self.rig.rfprobe_argv(*args)


def _station_udp(rig):
    """(datagrams delivered to sockets, datagrams sent) in the station's
    namespace: replies that reached a station tool, requests it sent."""
    r = subprocess.run(["ip", "netns", "exec", rig.station_ns, "cat", "/proc/net/snmp"],
                       capture_output=True, text=True, timeout=10)
    names, values = [l.split()[1:] for l in r.stdout.splitlines() if l.startswith("Udp:")][:2]
    udp = dict(zip(names, map(int, values)))
    return udp["InDatagrams"], udp["OutDatagrams"]


def _silent_agent(rig):
    """Why the run should stop, when the agent serves but in this test not
    one reply reached the station: then every later test would only wait
    out its timeouts (replies that vanish: a broken checksum or length)."""
    if getattr(rig, "agent", None) is None or rig.agent.poll() is not None:
        return None  # no agent serving: its silence says nothing of the others
    if getattr(rig, "sniffed_replies", 0):
        return None
    received, sent = (a - b for a, b in zip(_station_udp(rig), rig.station_udp_before))
    if received:
        return None
    handled = sum(l.startswith("--cmdType") for l in rig.agent_lines())
    if handled:
        return ("the agent handled %d requests but not one reply reached the station; "
                "its replies are broken (checksum, length, addresses?)" % handled)
    if sent:
        return "the agent got none of the %d requests the station sent" % sent
    return None


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    rig = item.funcargs.get("rig") if report.when == "call" and report.failed else None
    if rig is None or not hasattr(rig, "station_udp_before"):
        return
    try:
        why = _silent_agent(rig)
    except (AttributeError, OSError, ValueError, KeyError, subprocess.SubprocessError):
        why = None
    if why:
        item.session.shouldstop = "%s in %s: stopping, as every later test would only wait out its timeouts" % (
            why, item.name)


def _report(rig):
    # Shown by pytest only when the test fails.
    print("---- agent stdout ----\n" + rig.agent_log())
    print("---- agent stderr ----\n" + rig.read("agent.err"))
    print("---- journal ----\n" + "\n".join(rig.journal()))
    if rig.smd is not None:
        print("---- smd ----\n" + rig.read("smd.log"))


@pytest.fixture(scope="session")
def replies_reach_station():
    """Once per run, before the first test on a rig: one set-channel to an
    agent on a rig of its own.  Unanswered, it stops the run at once, which
    would otherwise wait out every request's timeout in every test."""
    if ON_VM:
        return  # a second router to boot: left to the check after each test
    probe = simrig.Rig(BUILD)
    if not probe.agent_bin or not probe.tools_dir:
        return  # each test says so
    try:
        probe.up()
        probe.start_agent(manual=True)
        r = probe.rfprobe("set-channel", "1")
        handled = "--cmdType = 82" in probe.agent_lines()
    except simrig.RigError:
        return  # each test meets it again and says so
    finally:
        probe.down()
    if r.returncode == NO_REPLY:
        pytest.exit("stopping before the first test: " + (
            "the agent handled a set-channel but no reply reached the station; its replies are broken "
            "(checksum, length, addresses?)" if handled else "the agent never got the set-channel the station sent"),
            returncode=1)


@pytest.fixture
def rig(replies_reach_station):
    """A rig that is up, with nothing started in it yet."""
    r = make_rig()
    if not r.agent_bin:
        pytest.fail("no rfprobe-agent in " + BUILD)
    r.up()
    if hasattr(r, "station_ns"):
        r.station_udp_before = _station_udp(r)
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
