"""Normal start-up on the simulated router: the factory flag, the radio wait
and the notice to smd."""
import subprocess

import pytest

import simrig
from conftest import ON_VM, not_on_vm


def test_untested_unit_waits_for_radio_serves_and_finishes(rig):
    rig.start_smd()
    rig.start_agent(manual=False)
    lines = rig.agent_lines()
    begin = lines.index("Begin to recv msg...")
    assert lines[:begin] == ["cat /proc/nvram/IsFactoryTest"] + ["wl isup"] * 3
    assert rig.journal() == ["wl isup"] * 3

    r = rig.rfprobe("finish")
    assert r.returncode == 0, r.stderr
    assert rig.wait_agent_exit() == 1
    assert rig.flag().strip() == "1"
    # Finishing ends the agent at once: no notice reaches smd.
    assert "msg id" not in rig.read("smd.log")
    assert "send msg id" not in rig.read("agent.err")


@not_on_vm("as shipped, the boot script logs standard error into the console log: no router has an agent.err")
def test_tested_unit_only_notifies_smd(rig):
    rig.set_flag("1")
    rig.start_smd()
    rig.start_agent(manual=False)
    assert rig.wait_agent_exit() == 0
    assert "Begin to recv msg..." not in rig.agent_log()
    assert rig.journal() == [], "no radio command for a tested unit"
    assert rig.read("agent.err").splitlines() == [
        "send msg id[0X1000080A] to smd, (wordData=503)", "ret = 0"]
    notices = [l for l in rig.read("smd.log").splitlines() if "msg id" in l]
    assert notices == ["smd: msg id 0x1000080A sender 503 receiver 20 flags 0x40000000 data 503 "
                       "(words 4,6: 0,0) -> status 0"]


def test_radio_that_comes_up_late_restarts_the_count(rig):
    rig.script_isup(1, 1, 0, 1, 1, 1)
    rig.start_smd()
    rig.start_agent(manual=False, timeout=20)
    assert rig.journal() == ["wl isup"] * 6
    r = rig.rfprobe("set-channel", "6")
    assert r.returncode == 0, r.stderr


def test_finish_with_the_flag_unwritable_is_not_answered(rig):
    # The flag store refuses the write: the station hears nothing, so the
    # unit is not taken for finished, and the agent serves on.  Once the
    # store takes writes again, the station's next finish goes through.
    rig.start_smd()
    rig.start_agent(manual=False)
    rig.set_flag_writable(False)
    r = rig.rfprobe("--timeout", "1000", "finish")
    assert r.returncode == 4, "no reply: " + r.stdout + r.stderr
    # (The boot script, as shipped, logs the shell's error with the console.)
    lines = [l for l in rig.agent_lines() if not l.startswith("sh: ")]
    assert lines[-3:] == ["--cmdType = 9b", "set factory test flag fail", ""]
    assert rig.flag().strip() == "0"
    assert rig.rfprobe("set-channel", "6").returncode == 0
    assert rig.agent.poll() is None

    rig.set_flag_writable(True)
    r = rig.rfprobe("finish")
    assert r.returncode == 0, r.stderr
    assert rig.wait_agent_exit() == 1
    assert rig.flag().strip() == "1"
    assert "msg id" not in rig.read("smd.log")


# What the agent tells the operator when it cannot serve as things stand:
# each case sets the fault up, starts the agent in manual mode (optionally
# under another user) and expects libpcap's own line followed by ours.
CAPTURE_PROBLEMS = [
    # case, set-up, user prefix, expected exit, lines that must follow each other
    ("no interface up", "link-down", [], None,
     ["success: device: any", "",
      'warning: no network interface is up: capturing on "any", which cannot send replies; '
      "bring the LAN interface up and restart the agent"]),
    ("not root", None,
     ["/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all"], 1,
     ["error: pcap_open_live(): socket: Operation not permitted", "",
      "error: capturing needs root or the CAP_NET_RAW capability: "
      "run the agent as root (or setcap cap_net_raw+ep on it)"]),
]


@pytest.mark.parametrize("case,setup,prefix,status,lines", CAPTURE_PROBLEMS, ids=[c[0] for c in CAPTURE_PROBLEMS])
def test_capture_problems_say_what_to_do(rig, case, setup, prefix, status, lines):
    if ON_VM:
        # The router's own ip and chpst (busybox), through its control line.
        if setup == "link-down":
            rig.guest("ip link set eth0 down")
        rig.start_agent_under(*(["chpst", "-u", "65534:65534"] if prefix else []))
    else:
        if setup == "link-down":
            subprocess.run(["ip", "-n", rig.router_ns, "link", "set", simrig.ROUTER_IF, "down"], check=True)
        rig.agent = rig.in_root(*prefix, "/bin/rfprobe-agent", "-m", stdin=subprocess.DEVNULL,
                                stdout=rig._open("agent.out"), stderr=rig._open("agent.err"),
                                start_new_session=True)
    if status is None:
        rig.wait_for("agent.out", lines[-1], proc=rig.agent)
        assert rig.agent.poll() is None, "the agent serves on, warned"
    else:
        assert rig.wait_agent_exit() == status
    got = rig.agent_lines()
    start = got.index(lines[0])
    assert got[start:start + len(lines)] == lines, got
