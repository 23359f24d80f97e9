"""The station as an operator meets it: the live board of several units in a
real terminal, a second Ctrl-C, and messages that say what to do (SIGTERM
and SIGHUP ending runs are tested with Ctrl-C in test_line.py).

The board is read from tmux (capture-pane) at two widths; the routers are the
simulated ones (sim/simrig.py).
"""
import os
import re
import shutil
import signal
import subprocess
import time

import pytest

import simrig
from conftest import BUILD, not_on_vm

pytestmark = not_on_vm("several units and signals are tested on the namespace rig")

RFPROBE = os.path.join(BUILD, "tools", "rfprobe")


def needs_root():
    if os.geteuid() != 0:
        pytest.skip("the rig needs root (network namespaces, mounts)")


@pytest.fixture
def line4():
    needs_root()
    rig = simrig.MultiRig(4, BUILD).up()
    try:
        rig.start_agents(manual=True)
        yield rig
    finally:
        rig.down()


# Serials long enough that a row does not fit 60 columns.
SERIALS = ["LINE3-FIXTURE-%s-SN%08d" % ("ABCD"[k], k) for k in range(4)]
BOARD_PLAN = """enter-test-mode
set-channel 6
rx --rate 15 --bw 40 --seconds 0.4 --min 500
raw 0x84
"""


def tmux(*args, check=True):
    return subprocess.run(["tmux", "-L", "rfprobe-%d" % os.getpid()] + list(args),
                          capture_output=True, text=True, check=check)


@pytest.mark.parametrize("width", [60, 200])
def test_the_live_board_in_a_terminal(line4, tmp_path, width):
    if not shutil.which("tmux"):
        pytest.skip("tmux is not installed (scripts/test installs it)")
    line4.units[2].set_state(rxrate="20")  # the third unit fails its rx limit
    plan = tmp_path / "board.plan"
    plan.write_text(BOARD_PLAN)
    units = []
    for k, sn in enumerate(SERIALS):
        units += ["--unit", "stn%d=%s" % (k, sn)]
    cmd = " ".join(["ip", "netns", "exec", line4.station_ns, RFPROBE, "--timeout", "300", "run",
                    str(plan)] + units + ["--store", str(tmp_path / "r.db"), "--station", "st1"])
    tmux("new-session", "-d", "-s", "board", "-x", str(width), "-y", "60",
         "sh -c '%s; echo EXIT=$?; sleep 600'" % cmd)
    try:
        deadline = time.monotonic() + 60
        while True:
            screen = tmux("capture-pane", "-p", "-J", "-S", "-", "-t", "board").stdout
            if "EXIT=" in screen or time.monotonic() > deadline:
                break
            time.sleep(0.2)
    finally:
        tmux("kill-server", check=False)
    lines = [l.rstrip() for l in screen.rstrip("\n").split("\n")]
    assert "EXIT=1" in screen, screen
    # The last rows of the board, each on its line and cut to the width.
    blank = lines.index("", 1)
    board = lines[blank - 4:blank]
    for k, row in enumerate(board):
        verdict = "FAIL" if k == 2 else "ERROR"
        whole = "stn%d  %s  done: %s, 4 of 4 steps, " % (k, SERIALS[k], verdict)
        assert len(row) <= width - 1, (row, screen)
        assert row.startswith(whole[:width - 1]), (row, screen)
    # Every unit's messages (a step without a reply) went above the board,
    # whole and on lines of their own: nothing of one row in another.
    for k, sn in enumerate(SERIALS):
        said = "rfprobe: stn%d %s: raw (0x84): no reply within 300 ms" % (k, sn)
        assert lines.count(said) == 1, screen
    above = lines[:blank - 4]
    for l in above:
        assert l.startswith("rfprobe: stn") or not l.strip(), (l, screen)
    # The table after it.
    table = lines[blank + 1:]
    assert table[0].split() == ["UNIT", "SERIAL", "VERDICT", "STEPS", "TIME", "RECORD", "DETAIL"]
    assert [l.split()[:3] for l in table[1:5]] == [
        ["stn%d" % k, SERIALS[k], "FAIL" if k == 2 else "ERROR"] for k in range(4)]
    assert "\x1b" not in screen


def test_a_second_ctrl_c_ends_the_station_at_once(rig, tmp_path):
    # An interrupted rx still waits for its stop-rx reply; with the router
    # stopped, that wait would last the whole --timeout.
    rig.start_agent(manual=True)
    plan = tmp_path / "rx.plan"
    plan.write_text("enter-test-mode\nrx --rate 15 --bw 40 --seconds 30\n")
    p = subprocess.Popen(["ip", "netns", "exec", rig.station_ns, RFPROBE, "-v", "--iface",
                          rig.station_if, "--timeout", "60000", "run", str(plan)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    stopped = False
    said = []
    try:
        # -v says when start-rx has its reply and the receive wait begins.
        while not any("receiving for" in l for l in said):
            line = p.stderr.readline()
            assert line, "".join(said)
            said.append(line)
        os.killpg(rig.agent.pid, signal.SIGSTOP)
        stopped = True
        p.send_signal(signal.SIGINT)
        time.sleep(0.5)
        assert p.poll() is None  # the first one waits for stop-rx
        t0 = time.monotonic()
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=20)
        assert time.monotonic() - t0 < 3, err
        assert p.returncode == 128 + signal.SIGINT, out + err
        assert "interrupted again" in err, "".join(said) + err
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
        if stopped:
            os.killpg(rig.agent.pid, signal.SIGCONT)


@pytest.mark.parametrize("argv, stdin, status, message", [
    # No default route and no --iface: the message names --iface.
    (["unshare", "-n", RFPROBE, "set-channel", "6"], None, 3,
     r"Network is unreachable \(no route: name the router's interface with --iface IF\)"),
    # A plan from standard input has one name, on screen as in records.
    ([RFPROBE, "run", "-"], "enter-test-mode\nbogus 1\n", 2, r"rfprobe: stdin:2: "),
])
def test_messages_that_say_what_to_do(argv, stdin, status, message):
    if argv[0] == "unshare":
        needs_root()
    r = subprocess.run(argv, input=stdin or "", capture_output=True, text=True, timeout=30)
    assert r.returncode == status, r.stdout + r.stderr
    assert re.search(message, r.stderr), r.stderr
