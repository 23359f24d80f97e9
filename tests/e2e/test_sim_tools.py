"""The simulated router's own tools, run directly on the host: what the
agent's commands do to the simulated radio, NVRAM and smd."""
import os
import socket
import struct
import subprocess
import time

import pytest

from conftest import BUILD, not_on_vm

SIM = os.path.join(BUILD, "sim")


@pytest.fixture
def tool(tmp_path):
    def run(*argv, check=True):
        r = subprocess.run([os.path.join(SIM, argv[0])] + list(argv[1:]), capture_output=True,
                           text=True, env={"RFPROBE_SIM_DIR": str(tmp_path)}, timeout=10)
        if check:
            assert r.returncode == 0, r.stderr
        return r
    run.dir = tmp_path
    return run


def journal(tool):
    return (tool.dir / "journal").read_text().splitlines()


def state(tool):
    return dict(l.split("=", 1) for l in (tool.dir / "state").read_text().splitlines())


def test_journal_holds_each_command_as_run(tool):
    tool("wl", "ssid", "")
    tool("wl", "chanspec", "-c", "6", "-b", "2", "-w", "40", "-s", "-1")
    tool("killall", "-9", "acsd")
    assert [l.split("/")[-1] for l in journal(tool)] == [
        'wl ssid ""', "wl chanspec -c 6 -b 2 -w 40 -s -1", "killall -9 acsd"]
    st = state(tool)
    assert (st["ssid"], st["channel"], st["bw"], st["sideband"], st["acsd"]) == ("", "6", "40", "-1", "0")
    # acsd is gone now: killing it again fails like the real tool.
    assert tool("killall", "-9", "acsd", check=False).returncode == 1


def test_pa_coefficients_are_16_bit_and_set_only_while_down(tool):
    assert tool("wl", "pavars", "pa2gw0a0=0xfffffe8c", check=False).returncode != 0
    tool("wl", "down")
    tool("wl", "pavars", "pa2gw0a1=0xfffffe8c", "pa2gw1a1=0x1a2", "pa2gw2a1=0x0")
    out = tool("wl", "pavars").stdout
    for text in ("pa2gw0a1=0xfe8c\n", "pa2gw1a1=0x1a2\n", "pa2gw2a1=0x0\n", "pa2gw0a0=0x"):
        assert text in out


def test_receive_counter_runs_only_while_set_up_for_receiving(tool):
    def count():
        out = tool("wl", "counters").stdout
        # The look-alike name comes first; the real one is followed by a space.
        assert out.index("rxdfrmmcastmbss") < out.index("rxdfrmmcast ")
        return int(out.split("rxdfrmmcast ")[1].split()[0])

    tool("wl", "txchain", "1")
    c0 = count()
    time.sleep(0.2)
    assert count() == c0, "not counting while set up for transmit"
    tool("wl", "rxchain", "1")
    time.sleep(0.3)
    c1 = count()
    assert 400 <= c1 - c0 <= 2000, "2000 frames/s for about 0.3 s"
    tool("wl", "down")
    c2 = count()
    time.sleep(0.2)
    assert count() == c2 >= c1, "not counting while the radio is down"


def test_faults(tool):
    (tool.dir / "fault.wl.counters").write_text("omit rxdfrmmcast\n")
    assert "rxdfrmmcast " not in tool("wl", "counters").stdout
    (tool.dir / "fault.wl.pavars").write_text("omit pa2gw1a0\n")
    out = tool("wl", "pavars").stdout
    assert "pa2gw1a0" not in out and "pa2gw0a0=0x" in out
    (tool.dir / "fault.wl").write_text("exit 7\nonce\n")
    assert tool("wl", "up", check=False).returncode == 7
    assert tool("wl", "up").returncode == 0, "a 'once' fault applies once"
    (tool.dir / "fault.wl.isup").write_text("output empty\n")
    assert tool("wl", "isup").stdout == ""
    (tool.dir / "fault.wl.isup").write_text("output garbage\n")
    assert not tool("wl", "isup").stdout.strip().isdigit()
    os.unlink(tool.dir / "fault.wl.isup")
    (tool.dir / "seq.wl.isup").write_text("1 0 - 2\n")
    assert [tool("wl", "isup").stdout for _ in range(5)] == ["1\n", "0\n", "", "2\n", "1\n"]
    t = time.monotonic()
    (tool.dir / "fault.wl.down").write_text("delay 300\n")
    tool("wl", "down")
    assert time.monotonic() - t >= 0.3


def test_nvram_update_keeps_copies_and_merges(tool):
    df = tool.dir / "datafile"
    df.write_text("ID=pci/2/0/\n97=fffffe8c\n98=1a2\n")
    tool("nvramUpdate", str(df))
    df.write_text("ID=pci/2/0/\n97=fe8c\n113=5\n")
    tool("nvramUpdate", str(df))
    assert (tool.dir / "nvramUpdate.1").read_text() == "ID=pci/2/0/\n97=fffffe8c\n98=1a2\n"
    assert (tool.dir / "nvramUpdate.2").read_text() == "ID=pci/2/0/\n97=fe8c\n113=5\n"
    assert (tool.dir / "nvram").read_text().splitlines() == [
        "pci/2/0/113=5", "pci/2/0/97=fe8c", "pci/2/0/98=1a2"]
    assert tool("nvramUpdate", str(tool.dir / "absent"), check=False).returncode == 1


def test_smd_decodes_notices_and_answers(tmp_path):
    path = str(tmp_path / "smd_msg")
    smd = subprocess.Popen([os.path.join(SIM, "smd"), "--socket", path, "--status", "5"],
                           stdout=subprocess.PIPE, text=True)
    try:
        assert smd.stdout.readline().startswith("smd: listening")
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(path)
        msg = struct.pack("=7I", 0x1000080A, 503, 20, 0x40000000, 0, 503, 0)
        for _ in range(2):
            s.sendall(msg[:10])  # a message may arrive in pieces
            s.sendall(msg[10:])
            assert struct.unpack("=i", s.recv(4)) == (5,)
        s.close()
        lines = [smd.stdout.readline().strip() for _ in range(4)]
        assert lines[1] == lines[2] == ("smd: msg id 0x1000080A sender 503 receiver 20 flags 0x40000000"
                                        " data 503 (words 4,6: 0,0) -> status 5")
    finally:
        smd.kill()
        smd.wait()


@not_on_vm("sim/rig's own defaults, on the PC")
def test_rig_finds_its_own_build_and_names_the_command_for_a_missing_one(tmp_path):
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env = {k: v for k, v in os.environ.items() if k != "RFPROBE_BUILD"}
    r = subprocess.run(["/usr/bin/python3", "-c", "import simrig; print(simrig.default_build())"],
                       cwd=str(tmp_path), env=dict(env, PYTHONPATH=os.path.join(root, "sim")),
                       capture_output=True, text=True)
    assert r.stdout.strip() == os.path.join(root, "build")
    empty = tmp_path / "nobuild"
    empty.mkdir()
    r = subprocess.run([os.path.join(root, "sim", "rig"), "run", "--build", str(empty), "--", "true"],
                       cwd=str(tmp_path), env=env, capture_output=True, text=True, timeout=30)
    assert r.returncode == 1
    assert ("cmake -S %s -B %s && cmake --build %s --target sim_wl" % (root, empty, empty)) in r.stderr
