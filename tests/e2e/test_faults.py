"""The agent under a hostile wire and a failing host.

A short wire soak and kill -9 runs (the full ones are bench/soak), then
faults of the host: a `wl` that hangs, fails, prints garbage or nothing;
/bin/nvramUpdate missing; /var full; the console going to a closed pipe.
In each case the agent must keep serving and answer as documented.
"""
import os
import signal
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))

import soaklib  # noqa: E402
from soaklib import payload as P, udp_frame as F  # noqa: E402

PA_DEFAULT = {"pa2gw0a0": "0xfe8c", "pa2gw1a0": "0x1a2e", "pa2gw2a0": "0xfa1b",
              "pa2gw0a1": "0xfe7d", "pa2gw1a1": "0x1a5c", "pa2gw2a1": "0xfa2e"}


def exchange(rig, *frames, window=16):
    """Send frames (bytes, expected reply code or None); the reply codes in
    the order they came and the station's result."""
    vm = hasattr(rig, "guest")
    # A stall is no reply for that long: on the emulated router a PA write
    # takes about 0.13 s, and a flush of the PC's disks may hold its share.
    res = soaklib.send_frames(rig, frames, window=window, stall=30.0 if vm else 10.0)
    if len(res["codes"]) < sum(code is not None for _, code in frames) and vm:
        # On the emulated router the replies also stop when the emulator
        # hangs on its 9p share (sim/vm/README.md, series F and G), where
        # the simulated tools keep their state: a command on that share
        # through the control line tells the two apart (no answer raises
        # RigError), and shows where the router is.
        print("replies stopped; the router:\n" + rig.guest("cat /proc/loadavg; ps; ls /var/sim >/dev/null",
                                                             timeout=30, check=False))
    return res["codes"], res


def nvram_update_copies(rig):
    return sorted((int(n.split(".")[1]) for n in os.listdir(os.path.join(rig.run_dir, "sim"))
                   if n.startswith("nvramUpdate.") and n.split(".")[1].isdigit()))


def fill_var(rig, size_kib=64):
    """Shrink the root's /var tmpfs and fill it up to the last page."""
    assert rig.in_root("/bin/mount", "-o", "remount,size=%dk" % size_kib, "/var").wait() == 0
    assert rig.fill_root_fs("/var/fill"), "/var still takes a file"


def router_procs(rig, word):
    """Command lines of the router's processes that hold word."""
    return [cmd for _, _, _, cmd in rig.router_procs() if word in cmd]


# ----- the wire -----

def test_soak_of_mixed_and_malformed_frames(agent):
    # 20,000 frames: valid requests, unknown codes, short, oversized, wrong
    # magic, TCP to 1060, IPv4 options, other ports, later fragments, noise,
    # and now and then a request that runs wl.  Every answerable one is
    # answered in order, every one with the magic logs exactly its line, only
    # the wl requests reach the tools, and the agent's memory, descriptors,
    # threads and children are what they were.
    report, problems = soaklib.run_soak(agent, 20000, seed=11, shell_every=500, warmup=2000)
    assert problems == [], report


def test_kill_9_loses_no_log_line(rig):
    # The log on a file and on a pipe, killed at random moments while
    # serving (the continuous TX worker logging too in some runs): every
    # reply the station got and every logged command the tools ran has its
    # line, and the log never ends inside a line.
    failed = [r for r in (soaklib.kill9_run(rig, seed, log_to_pipe=seed % 2 == 1) for seed in range(10))
              if r["problems"]]
    assert failed == []


# ----- wl -----

def test_wl_failing_with_exit_status(agent):
    # wl runs but fails with nothing on its output: commands run for their
    # effect count as done; readers see no output.
    agent.set_fault("wl", exit=1)
    codes, res = exchange(agent,
                          (F(P(0x80)), 0x80), (F(P(0x95, 3, 20, 170)), 0x95), (F(P(0x87)), 0x87),
                          (F(P(0x96)), 0x96), (F(P(0x92, chain=0)), 0x92), (F(P(0x97, 3, 20)), None),
                          (F(P(0x98)), None), (F(P(0x9C)), 0x9C), (F(P(0x82, 4)), 0x82))
    assert codes == [0x80, 0x95, 0x87, 0x96, 0x92, 0x9C, 0x82]
    assert res["values"] == {"80": [1], "92": [0]}
    lines = agent.agent_lines()
    assert "gen_startRx get counters num fail" in lines
    assert "gen_stopRx GETrX end num fail" in lines
    assert lines.count("fread fail.") == 4  # pa-read, start-rx, stop-rx, the save's chain 0
    assert any(l.startswith("save pa params fail: chain 0") for l in lines)
    assert "/bin/nvramUpdate /var/datafile" not in agent.journal()
    assert agent.nvram() == {}
    # The write: "wl pavars" fails too, but only a shell that cannot run is a
    # failure, so the lines go to the data file and on to NVRAM.
    # NVRAM then holds coefficients that the radio never took.
    codes, _ = exchange(agent, (F(P(0x91)), 0x91), (F(P(0x93, 0, 100, 418, 0, chain=0)), 0x93))
    assert codes == [0x91, 0x93]
    assert agent.journal().count("/bin/nvramUpdate /var/datafile") == 1
    assert agent.nvram()["pci/2/0/97"] == "64" and agent.state().get("pa2gw0a0") != "0x64"
    assert agent.agent.poll() is None


@pytest.mark.parametrize("output", ["garbage", "empty"])
def test_wl_printing_garbage_or_nothing(agent, output):
    codes, _ = exchange(agent, (F(P(0x9C)), 0x9C))
    assert codes == [0x9C]
    saved = agent.nvram()
    assert saved["pci/2/0/97"] == "fe8c"
    for sub in ("counters", "pavars"):
        agent.set_fault("wl", sub, output=output)
    codes, res = exchange(agent, (F(P(0x97, 3, 20)), None), (F(P(0x98)), None), (F(P(0x92, chain=1)), 0x92),
                          (F(P(0x9C)), 0x9C), (F(P(0x82, 2)), 0x82))
    assert codes == [0x92, 0x9C, 0x82]
    assert res["values"]["92"] == [0], "pa-read replies with zeros"
    lines = agent.agent_lines()
    assert "gen_startRx get counters num fail" in lines and "gen_stopRx GETrX end num fail" in lines
    assert (lines.count("fread fail.") if output == "empty" else
            lines.count("GetValueFromField pStartPos error")) >= 3
    # The save stops before the update tool: NVRAM keeps what it had.
    assert agent.journal().count("/bin/nvramUpdate /var/datafile") == 1
    assert agent.nvram() == saved
    assert any(l.startswith("save pa params fail: chain 0") for l in lines)


def test_wl_hanging(agent):
    # A hanging wl holds its request for the command's own time; frames that
    # come meanwhile wait in the capture ring and are all answered, in order.
    agent.set_fault("wl", "pavars", delay=1500)
    frames = [(F(P(0x92, chain=0)), 0x92)] + [(F(P(0x82, c % 14 + 1)), 0x82) for c in range(25)]
    codes, res = exchange(agent, *frames, window=0)
    assert codes == [0x92] + [0x82] * 25
    assert res["values"]["92"] == [0xfe8c]
    agent.clear_fault("wl", "pavars")

    # Stopping continuous TX kills the wl its worker is waiting for, and
    # nothing of it is left behind.
    agent.set_fault("wl", "pkteng_start", delay=60000)
    codes, _ = exchange(agent, (F(P(0x99)), 0x99))
    assert codes == [0x99]
    agent.wait_journal("wl pkteng_start 00:11:22:33:44:55 tx 50 1000 0", timeout=30)
    assert router_procs(agent, "pkteng_start")
    codes, _ = exchange(agent, (F(P(0x9A)), 0x9A), (F(P(0x82, 1)), 0x82))
    assert codes == [0x9A, 0x82]
    deadline = time.monotonic() + 30
    while router_procs(agent, "pkteng_start") and time.monotonic() < deadline:
        time.sleep(0.05)
    assert router_procs(agent, "pkteng_start") == []
    assert [p for p in agent.router_procs() if p[1] == agent.agent.pid] == [], "no child left"


# ----- stopping the agent while a command runs -----

def commands_left(rig):
    """Shells the agent started and wl runs still alive in the router."""
    return [c for c in router_procs(rig, "") if c.startswith(("sh -c ", "wl "))]


def wait_for_command(rig, word):
    deadline = time.monotonic() + 30
    while not [c for c in commands_left(rig) if word in c]:
        assert time.monotonic() < deadline, "no %r running" % word
        time.sleep(0.02)


def wait_until_no_command_left(rig):
    deadline = time.monotonic() + 30
    while commands_left(rig) and time.monotonic() < deadline:
        time.sleep(0.05)
    return commands_left(rig)


@pytest.mark.parametrize("thread,request_args,sub", [
    ("main", ("stop-tx",), "pkteng_stop"),          # a command run for its effect
    ("main", ("pa-read", "0"), "pavars"),           # a command read through a pipe
    ("worker", ("start-cyc-tx",), "pkteng_start"),  # the continuous transmit worker
], ids=["main-run", "main-read", "worker"])
def test_stop_signal_ends_the_running_command(rig, thread, request_args, sub):
    # Each command runs in a process group of its own, so a signal to the
    # agent (or Ctrl-C on its terminal) does not reach it: the agent ends
    # the groups itself, then dies of the signal as before.
    rig.set_fault("wl", sub, delay=60000)
    for sig in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM):
        rig.start_agent(manual=True)
        rig.rfprobe("--timeout", "100", *request_args)
        wait_for_command(rig, "wl " + sub)
        start = time.monotonic()
        rig.agent.send_signal(sig)
        assert rig.wait_agent_exit(30) == -sig
        print("%s: agent gone after %.3f s" % (sig.name, time.monotonic() - start))
        assert wait_until_no_command_left(rig) == [], sig.name


def test_finish_ends_the_workers_command(rig):
    rig.set_fault("wl", "pkteng_start", delay=60000)
    rig.start_agent(manual=True)
    assert rig.rfprobe("start-cyc-tx").returncode == 0
    wait_for_command(rig, "wl pkteng_start")
    assert rig.rfprobe("finish").returncode == 0
    assert rig.wait_agent_exit(30) == 1
    assert wait_until_no_command_left(rig) == []


# ----- the rest of the host -----

def test_nvram_update_tool_missing(agent):
    # The shell runs and reports 127: not a failure for the agent, which
    # goes on, brings the radio up and replies.  NVRAM is not written; the
    # only trace is the shell's message on the agent's standard error.
    agent.remove_root_file("/bin/nvramUpdate")
    codes, _ = exchange(agent, (F(P(0x91)), 0x91), (F(P(0x93, 0, -372, 418, 0, chain=0)), 0x93),
                        (F(P(0x9C)), 0x9C), (F(P(0x82, 3)), 0x82))
    assert codes == [0x91, 0x93, 0x9C, 0x82]
    j = agent.journal()
    assert j[j.index("wl pavars pa2gw0a0=0xfffffe8c pa2gw1a0=0x1a2 pa2gw2a0=0x0") + 1] == "wl up"
    assert agent.state()["up"] == "1"
    assert "nvramupdate fail" not in agent.agent_lines()
    with open(agent.root_path("/var/datafile")) as f:
        assert f.read().split("\n")[:-1] == ["ID=pci/2/0/", "97=fe8c", "98=1a2", "99=0",
                                             "113=fe7d", "114=1a5c", "115=fa2e"]
    assert agent.nvram() == {} and nvram_update_copies(agent) == []
    assert "nvramUpdate" in agent.read("agent.err")


def test_var_full_before_the_data_file_is_started(agent):
    # No line reaches the data file, so the update tool never runs: the init,
    # the write and the save each log their failure and are answered.
    fill_var(agent)
    codes, _ = exchange(agent, (F(P(0x91)), 0x91), (F(P(0x93, 0, -372, 418, 0, chain=0)), 0x93),
                        (F(P(0x9C)), 0x9C), (F(P(0x82, 3)), 0x82))
    assert codes == [0x91, 0x93, 0x9C, 0x82]
    assert agent.agent.poll() is None
    assert os.path.getsize(agent.root_path("/var/datafile")) == 0
    assert nvram_update_copies(agent) == []
    assert agent.nvram() == {}
    lines = agent.agent_lines()
    for line in ("PA data file init fail", "set pa 97 fail(chain0)",
                 "save pa params fail: data file not started, NVRAM left unchanged"):
        assert line in lines
    assert agent.state()["pa2gw1a0"] == "0x1a2", "the radio took the write"


def test_var_filling_up_during_a_pa_write(agent):
    # 113 writes of three 12-byte lines bring the file to 4080 bytes, 16
    # short of its first page's end; with /var full, the next write's second
    # line is cut after 4 bytes ("98=f") and its third is not written.  NVRAM
    # must never hold a value that no request asked for.
    codes, _ = exchange(agent, (F(P(0x91)), 0x91),
                        *[(F(P(0x93, 0, -372, -418, -(i + 1), chain=0)), 0x93) for i in range(113)])
    assert codes == [0x91] + [0x93] * 113
    assert os.path.getsize(agent.root_path("/var/datafile")) == 4080
    fill_var(agent)
    codes, _ = exchange(agent, (F(P(0x93, 0, -1000, -2000, -3000, chain=0)), 0x93), (F(P(0x82, 3)), 0x82))
    assert codes == [0x93, 0x82]
    written = {"%x" % (v & 0xFFFFFFFF) for v in [-372, -418, -1000, -2000, -3000] + [-(i + 1) for i in range(113)]}
    nv = agent.nvram()
    assert {k: v for k, v in nv.items() if v not in written} == {}


def test_console_on_a_closed_pipe(rig):
    # The console goes away after start-up: log lines are lost, nothing else.
    assert rig.start_agent_console_closed() == "Enter manual test mode!"
    agent = rig.agent
    assert soaklib.probe(rig), "the agent serves with its console gone"
    codes, _ = exchange(rig, (F(P(0x80)), 0x80), (F(P(0x95, 3, 20, 170)), 0x95), (F(P(0x92, chain=0)), 0x92),
                        (F(P(0x97, 3, 20)), 0x97), (F(P(0x98)), 0x98), (F(P(0x91)), 0x91),
                        (F(P(0x93, 0, -372, 418, 0, chain=0)), 0x93), (F(P(0x99)), 0x99), (F(P(0x9A)), 0x9A))
    assert codes == [0x80, 0x95, 0x92, 0x97, 0x98, 0x91, 0x93, 0x99, 0x9A]
    assert rig.nvram()["pci/2/0/98"] == "1a2"
    res = soaklib.station_job(rig, dict(iface="stn0", n=3000, seed=5, shell_every=100))
    assert res["replies"] == res["expected"] and res["in_order"]
    assert agent.poll() is None
    agent.send_signal(signal.SIGTERM)
    assert agent.wait(30) == -signal.SIGTERM
