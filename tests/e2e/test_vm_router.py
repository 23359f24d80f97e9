"""What only the emulated router has: a kernel whose NVRAM driver keeps the
factory flag in flash, and a second boot of the same unit.  Run with
RFPROBE_TARGET=vm."""
import re
import signal
import time

import pytest

import vmrig
from conftest import ON_VM
from test_radio import NO_REPLY, PKTENG, ok, wait_until

pytestmark = pytest.mark.skipif(not ON_VM, reason="needs the emulated router (RFPROBE_TARGET=vm)")

NOTICE = ("smd: msg id 0x1000080A sender 503 receiver 20 flags 0x40000000 data 503 "
          "(words 4,6: 0,0) -> status 0")


def test_finished_unit_only_notifies_smd_at_its_next_boot(rig):
    rig.start_smd()
    rig.start_agent(manual=False)
    assert rig.rfprobe("set-channel", "6").returncode == 0
    r = rig.rfprobe("finish")
    assert r.returncode == 0, r.stderr
    assert rig.wait_agent_exit() == 1
    assert rig.flag() == "1\n", "the flag is in the flash image"
    assert rig.guest("cat /proc/nvram/IsFactoryTest") == "1\n"

    # Power off and on: the driver reads the flag back from flash, and the
    # boot script's agent only tells smd and steps aside.
    rig.reboot()
    assert rig.wait_agent_exit() == 0
    assert "Begin to recv msg..." not in rig.agent_log()
    assert rig.agent_lines()[0] == "cat /proc/nvram/IsFactoryTest"
    assert [l for l in rig.read("smd.log").splitlines() if "msg id" in l] == [NOTICE]
    assert rig.journal().count("wl isup") == 3, "only the first boot waited for the radio"
    # Nothing answers on the port any more.
    assert rig.rfprobe("--timeout", "500", "set-channel", "6").returncode == 4


def test_nvram_driver_keeps_values_and_refuses_writes_when_protected(rig):
    # Another variable in the flash must outlive rewrites of the flag.
    with open(rig.flash_path, "r+b") as f:
        f.write(vmrig.nvram_image({"boardtype": "0x0646", "IsFactoryTest": ""}))
    rig.start_agent(manual=True)
    assert rig.guest("cat /proc/nvram/IsFactoryTest") == "", "an empty value reads as nothing"
    rig.guest("echo 0 >/proc/nvram/IsFactoryTest")
    assert rig.flag() == "0\n"
    rig.set_flag_writable(False)
    out = rig.guest("echo 1 >/proc/nvram/IsFactoryTest", check=False)
    assert "Read-only file system" in out
    assert rig.flag() == "0\n"
    rig.set_flag_writable(True)
    rig.guest("echo 1 >/proc/nvram/IsFactoryTest")
    assert rig.flag() == "1\n"
    out = rig.guest("echo %s >/proc/nvram/IsFactoryTest" % ("9" * 70), check=False)
    assert "Invalid argument" in out, "a value longer than the driver takes is refused"
    assert vmrig.nvram_variables(rig.flash_path) == {"boardtype": "0x0646", "IsFactoryTest": "1"}


def test_boot_script_stop_ends_the_agent_and_its_command(rig):
    # The agent's own boot script, as rcK runs it at shutdown, while a wl
    # hangs in the continuous transmit worker.
    rig.set_fault("wl", "pkteng_start", delay=60000)
    rig.start_smd()
    rig.start_agent(manual=False)
    assert rig.rfprobe("start-cyc-tx").returncode == 0
    wait_until("slow wl running", lambda: "wl" in guest_procs(rig), timeout=20)
    out = rig.guest("/etc/init.d/S90rfprobe-agent stop")
    assert "stopping rfprobe-agent" in out
    assert rig.wait_agent_exit() == -signal.SIGTERM
    # Killed with its group as the agent ended, the wl may still be on its
    # way out (or not yet reaped by init) on the slow emulated CPU; one left
    # behind would run its whole minute.
    wait_until("no wl left behind", lambda: rig.guest("pidof wl; true").strip() == "", timeout=20)
    assert "rfprobe-agent not running" in rig.guest("/etc/init.d/S90rfprobe-agent status", check=False)


# ----- continuous transmit, seen from inside the router -----

def guest_threads(rig):
    status = rig.guest("cat /proc/%d/status" % rig.agent.pid)
    return int(re.search(r"^Threads:\s+(\d+)", status, re.M).group(1))


def guest_procs(rig, names=("wl", "sh")):
    """Commands of the agent's children and grandchildren in the router."""
    out = rig.guest("for s in /proc/[0-9]*/stat; do read -r pid comm st ppid rest <$s && echo $pid $comm $ppid;"
                    " done 2>/dev/null; true")
    procs = [l.split() for l in out.splitlines() if len(l.split()) == 3]
    kids = {p for p, _, pp in procs if pp == str(rig.agent.pid)}
    kids |= {p for p, _, pp in procs if pp in kids}
    return [c.strip("()") for p, c, _ in procs if p in kids and c.strip("()") in names]


def test_cyc_tx_worker_starts_once_stops_and_kills_its_wl(agent):
    r = agent.rfprobe("--timeout", "500", "stop-cyc-tx")
    assert r.returncode == NO_REPLY, "stop without a worker must go unanswered"
    assert [m["code"] for m in ok(agent, "start-cyc-tx")] == [0x99]
    agent.wait_journal(PKTENG, 3, timeout=30)
    assert guest_threads(agent) == 2
    assert [m["code"] for m in ok(agent, "start-cyc-tx")] == [0x99]
    assert guest_threads(agent) == 2, "a second start keeps the one worker"
    assert [m["code"] for m in ok(agent, "stop-cyc-tx")] == [0x9A]
    wait_until("worker ended", lambda: guest_threads(agent) == 1, timeout=20)
    n = agent.journal().count(PKTENG)
    time.sleep(1)
    assert agent.journal().count(PKTENG) == n, "runs went on after the stop"

    # A wl that hangs is killed with its shell when the worker is stopped.
    agent.set_fault("wl", "pkteng_start", delay=20000)
    ok(agent, "start-cyc-tx")
    wait_until("slow wl running", lambda: "wl" in guest_procs(agent), timeout=20)
    assert [m["code"] for m in ok(agent, "stop-cyc-tx")] == [0x9A]
    wait_until("slow wl and its shell gone", lambda: guest_procs(agent) == [], timeout=10)
    wait_until("worker ended", lambda: guest_threads(agent) == 1, timeout=10)
    agent.clear_fault("wl", "pkteng_start")

    r = agent.station(*agent.rfprobe_argv("run", "-"), input="start-cyc-tx\nstop-cyc-tx\n" * 30, timeout=300)
    assert r.returncode == 0, r.stderr
    assert agent.agent_lines().count("--cmdType = 9a") == 30 + 3
    wait_until("worker ended", lambda: guest_threads(agent) == 1, timeout=10)
    wait_until("no wl or sh left", lambda: guest_procs(agent) == [], timeout=10)
