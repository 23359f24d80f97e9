"""Transmit and receive tests on the simulated radio: the continuous transmit
worker, set-TX with the applied-settings cache, and the receive count."""
import json
import re
import time


PKTENG = "wl pkteng_start 00:11:22:33:44:55 tx 50 1000 0"
WORKER_LINE = "start send tx packet for DUT tool."
NO_REPLY = 4  # rfprobe's exit status when no reply came


def wait_until(what, cond, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > deadline:
            raise AssertionError("within %.0f s, never: %s" % (timeout, what))
        time.sleep(0.02)


def threads(rig):
    return rig.proc_threads(rig.agent.pid)


def router_procs(rig, names=("wl", "sh")):
    """Processes with these names left in the router: (pid, name)."""
    return [(pid, name) for pid, _, name, _ in rig.router_procs() if name in names]


def ok(rig, *args):
    """Run rfprobe --json; the replies, parsed."""
    r = rig.rfprobe("--json", *args)
    assert r.returncode == 0, "%s: %s" % (args, r.stderr)
    return [json.loads(l) for l in r.stdout.splitlines()]


def step(rig, *args):
    """Run rfprobe and return the tool runs it caused."""
    before = len(rig.journal())
    ok(rig, *args)
    return rig.journal()[before:]


def runs_stay_at(rig, n, settle=0.5):
    time.sleep(settle)
    return rig.journal().count(PKTENG) == n


# ----- continuous transmission -----

def test_cyc_tx_runs_until_stopped_one_worker_at_a_time(agent):
    r = agent.rfprobe("--timeout", "500", "stop-cyc-tx")
    assert r.returncode == NO_REPLY, "stop without a worker must go unanswered"

    assert [m["code"] for m in ok(agent, "start-cyc-tx")] == [0x99]
    agent.wait_journal(PKTENG, 3, timeout=30)
    assert threads(agent) == 2
    # A second start keeps the running worker and confirms it.
    assert [m["code"] for m in ok(agent, "start-cyc-tx")] == [0x99]
    n = agent.journal().count(PKTENG)
    agent.wait_journal(PKTENG, n + 3, timeout=30)
    assert threads(agent) == 2

    assert [m["code"] for m in ok(agent, "stop-cyc-tx")] == [0x9A]
    wait_until("worker ended", lambda: threads(agent) == 1)
    n = agent.journal().count(PKTENG)
    assert runs_stay_at(agent, n), "runs went on after the stop"
    assert "wl pkteng_stop tx" not in agent.journal(), "stopping the worker leaves the packet engine alone"
    assert agent.state()["pkteng"] == "tx"
    assert int(agent.state()["pkteng_starts"]) >= n - 1

    # The worker logs each run as the pair: announcement, command text.
    worker = [l for l in agent.agent_lines() if l in (WORKER_LINE, PKTENG)]
    assert set(worker[0::2]) == {WORKER_LINE} and set(worker[1::2]) <= {PKTENG}

    # Stopped once, it is gone: a second stop is not answered, serving goes on.
    r = agent.rfprobe("--timeout", "500", "stop-cyc-tx")
    assert r.returncode == NO_REPLY
    assert agent.agent_lines().count("Cancel dut cyc Tx thread error!") == 2
    assert [m["code"] for m in ok(agent, "stop-tx")] == [0x96]
    assert agent.state()["pkteng"] == "0"
    assert agent.journal().count(PKTENG) == n


def test_cyc_tx_stop_kills_a_slow_wl(agent):
    agent.set_fault("wl", "pkteng_start", delay=20000)
    ok(agent, "start-cyc-tx")
    agent.wait_journal(PKTENG, 1, timeout=30)
    wait_until("slow wl running", lambda: any(c == "wl" for _, c in router_procs(agent)))

    # Answered at once, not after the 20 s the wl takes.
    assert [m["code"] for m in ok(agent, "stop-cyc-tx")] == [0x9A]
    wait_until("slow wl and its shell gone", lambda: router_procs(agent) == [])
    wait_until("worker ended", lambda: threads(agent) == 1)
    assert agent.journal().count(PKTENG) == 1
    assert agent.state().get("pkteng_starts", "0") == "0", "the killed wl changed nothing"

    agent.clear_fault("wl", "pkteng_start")
    ok(agent, "start-cyc-tx")
    agent.wait_journal(PKTENG, 3, timeout=30)
    ok(agent, "stop-cyc-tx")
    wait_until("worker ended", lambda: threads(agent) == 1)


def test_cyc_tx_start_stop_loop_leaves_nothing_behind(agent):
    plan = "start-cyc-tx\nstop-cyc-tx\n" * 200
    r = agent.station(*agent.rfprobe_argv("run", "-"), input=plan, timeout=600)
    assert r.returncode == 0, r.stderr
    assert agent.agent_lines().count("--cmdType = 9a") == 200
    assert "Cancel dut cyc Tx thread error!" not in agent.agent_lines()
    wait_until("worker ended", lambda: threads(agent) == 1)
    wait_until("no wl or sh left", lambda: router_procs(agent) == [])
    n = agent.journal().count(PKTENG)
    assert runs_stay_at(agent, n)
    ok(agent, "set-channel", "6")


# ----- transmit and receive tests -----

def test_transmit_test_sends_only_changed_settings(agent):
    assert step(agent, "enter-test-mode") == [
        "killall -9 acsd", "wl down", "wl band b", "wl up", 'wl ssid ""', "wl phy_forcecal 1"]
    st = agent.state()
    assert (st["acsd"], st["band"], st["up"], st["ssid"], st["forcecal"]) == ("0", "b", "1", "", "1")

    assert step(agent, "set-channel", "6") == []
    assert step(agent, "set-antenna", "0") == []
    assert step(agent, "set-tx", "--rate", "0", "--bw", "20", "--power", "17.5") == [
        "wl down", "wl mimo_txbw 2", "wl txchain 1", "wl txant 0",
        "wl chanspec -c 6 -b 2 -w 20 -s 0", "wl up", "wl txpwr1 -o -q 70"]
    st = agent.state()
    assert (st["up"], st["channel"], st["bw"], st["txchain"], st["txant"], st["txpwr_qdbm"]) == (
        "1", "6", "20", "1", "0", "70")

    # Same settings, new power (16.4 dBm is 65.6 quarter-dBm: cut, not rounded).
    assert step(agent, "set-tx", "--rate", "0", "--bw", "20", "--power", "16.4") == [
        "wl down", "wl txchain 1", "wl txant 0", "wl up", "wl txpwr1 -o -q 65"]
    assert step(agent, "start-tx") == [PKTENG]
    assert agent.state()["pkteng"] == "tx"
    assert step(agent, "stop-tx") == ["wl pkteng_stop tx"]
    assert agent.state()["pkteng"] == "0"

    # Another channel, antenna, width and rate: everything goes out again.
    step(agent, "set-channel", "11")
    step(agent, "set-antenna", "1")
    assert step(agent, "set-tx", "--rate", "22", "--bw", "40", "--power", "16") == [
        "wl down", "wl mimo_txbw 4", "wl txchain 2", "wl txant 1",
        "wl chanspec -c 11 -b 2 -w 40 -s 1", "wl nrate -m 7 -s 0", "wl up", "wl txpwr1 -o -q 64"]
    assert (agent.state()["sideband"], agent.state()["rate"]) == ("1", "mcs 7 stf 0")
    # A receive test on the settings just applied only switches the chain.
    assert step(agent, "start-rx", "--rate", "22", "--bw", "40") == ["wl rxchain 2", "wl counters"]
    # Leaving 40 MHz (for 80) sends mimo 2 and the chanspec with the width as asked.
    assert step(agent, "set-tx", "--rate", "22", "--bw", "80", "--power", "16") == [
        "wl down", "wl mimo_txbw 2", "wl txchain 2", "wl txant 1",
        "wl chanspec -c 11 -b 2 -w 80 -s 0", "wl up", "wl txpwr1 -o -q 64"]
    # Another channel alone, at the same width: its chanspec goes out, for
    # a transmit test and for a receive test.
    step(agent, "set-channel", "13")
    assert step(agent, "set-tx", "--rate", "22", "--bw", "80", "--power", "16") == [
        "wl down", "wl txchain 2", "wl txant 1", "wl chanspec -c 13 -b 2 -w 80 -s 0", "wl up",
        "wl txpwr1 -o -q 64"]
    step(agent, "set-channel", "12")
    assert step(agent, "start-rx", "--rate", "22", "--bw", "80") == [
        "wl rxchain 2", "wl chanspec -c 12 -b 2 -w 80 -s 0", "wl counters"]
    assert agent.state()["channel"] == "12"


def counter_reads(rig):
    return [int(m) for m in re.findall(r"^get field value rxdfrmmcast = (\d+)\.\r?$", rig.agent_log(), re.M)]


def test_receive_test_counts_frames(agent):
    agent.set_state(rxrate=1000)
    step(agent, "set-channel", "1")
    before = len(agent.journal())
    replies = ok(agent, "rx", "--rate", "3", "--bw", "40", "--seconds", "1")
    assert agent.journal()[before:] == [
        "wl mimo_txbw 4", "wl rxchain 1", "wl chanspec -c 1 -b 2 -w 40 -s -1", "wl nrate -r 5",
        "wl counters", "wl counters"]
    assert [m["code"] for m in replies] == [0x97, 0x98]
    count = replies[1]["count"]
    assert 900 <= count <= 5000, "1000 frames/s for about a second"
    start, end = counter_reads(agent)
    assert count == end - start
    assert int(agent.state()["rxdfrmmcast"]) == end, "the count is the radio's own counter"

    # Without the counter field neither start-rx nor stop-rx is answered,
    # and the baseline of the last good start-rx stays.
    agent.set_fault("wl", "counters", omit="rxdfrmmcast")
    r = agent.rfprobe("--timeout", "500", "start-rx", "--rate", "3", "--bw", "40")
    assert r.returncode == NO_REPLY
    assert "gen_startRx get counters num fail" in agent.agent_lines()
    r = agent.rfprobe("--timeout", "500", "stop-rx")
    assert r.returncode == NO_REPLY
    assert "gen_stopRx GETrX end num fail" in agent.agent_lines()
    assert counter_reads(agent) == [start, end]

    agent.clear_fault("wl", "counters")
    count2 = ok(agent, "stop-rx")[0]["count"]
    assert count2 == counter_reads(agent)[-1] - start > count
