"""PA calibration on the simulated radio: read, write and save the
coefficients, and what the NVRAM update tool is handed each time."""
import json

UPDATE = "/bin/nvramUpdate /var/datafile"


def ok(rig, *args):
    """Run rfprobe --json and return the tool runs it caused and its replies."""
    before = len(rig.journal())
    r = rig.rfprobe("--json", *args)
    assert r.returncode == 0, "%s: %s" % (args, r.stderr)
    replies = [json.loads(l) for l in r.stdout.splitlines()]
    assert len(replies) == 1
    return rig.journal()[before:], replies[0]


def handed(rig, n):
    """The n-th file the NVRAM update tool received."""
    return rig.read("sim/nvramUpdate.%d" % n, default=None)


def pa_state(rig):
    st = rig.state()
    return [st[n] for n in ("pa2gw0a0", "pa2gw1a0", "pa2gw2a0", "pa2gw0a1", "pa2gw1a1", "pa2gw2a1")]


def test_write_read_and_save_reach_radio_and_nvram(agent):
    runs, rep = ok(agent, "pa-init")
    assert (runs, rep["code"]) == ([], 0x91)
    with open(agent.root_path("/var/datafile")) as f:
        assert f.read() == "ID=pci/2/0/\n"

    runs, rep = ok(agent, "pa-write", "0", "-372", "418", "0")
    assert rep["code"] == 0x93
    assert runs == ["wl down", "wl pavars pa2gw0a0=0xfffffe8c pa2gw1a0=0x1a2 pa2gw2a0=0x0", UPDATE, "wl up"]
    assert handed(agent, 1) == "ID=pci/2/0/\n97=fffffe8c\n98=1a2\n99=0\n"
    assert pa_state(agent)[:3] == ["0xfe8c", "0x1a2", "0x0"]
    assert agent.state()["up"] == "1"

    # The values come back from the radio: 32 bits as the hex digits spell them.
    runs, rep = ok(agent, "pa-read", "0")
    assert runs == ["wl pavars"]
    assert (rep["code"], rep["value1"], rep["value2"], rep["value3"], rep["pa"]) == (
        0x92, 65164, 418, 0, [-372, 418, 0])
    text = agent.rfprobe("pa-read", "0").stdout
    assert "65164 (0x0000fe8c, signed 16-bit -372)" in text

    # Chain 1 after chain 0: the tool gets the whole file so far.
    runs, _ = ok(agent, "pa-write", "1", "100", "-2", "0x7fff")
    assert runs == ["wl down", "wl pavars pa2gw0a1=0x64 pa2gw1a1=0xfffffffe pa2gw2a1=0x7fff", UPDATE, "wl up"]
    assert handed(agent, 2) == "ID=pci/2/0/\n97=fffffe8c\n98=1a2\n99=0\n113=64\n114=fffffffe\n115=7fff\n"
    assert ok(agent, "pa-read", "1")[1]["pa"] == [100, -2, 32767]

    # A save rebuilds the file from what the radio holds, without down/up.
    runs, rep = ok(agent, "pa-save")
    assert (runs, rep["code"]) == (["wl pavars", "wl pavars", UPDATE], 0x9C)
    saved = "ID=pci/2/0/\n97=fe8c\n98=1a2\n99=0\n113=64\n114=fffe\n115=7fff\n"
    assert handed(agent, 3) == saved
    nvram = {"pci/2/0/%s" % k: v for k, v in (l.split("=") for l in saved.split()[1:])}
    assert agent.nvram() == nvram
    assert handed(agent, 4) is None


def test_save_with_a_coefficient_unreadable_leaves_nvram_alone(agent):
    ok(agent, "pa-init")
    ok(agent, "pa-write", "0", "-380", "6690", "-1500")
    ok(agent, "pa-save")
    nvram = agent.nvram()
    assert nvram["pci/2/0/97"] == "fe84" and len(nvram) == 6

    for missing in ("pa2gw1a1", "pa2gw0a0"):
        agent.set_fault("wl", "pavars", omit=missing)
        runs, rep = ok(agent, "pa-save")
        assert rep["code"] == 0x9C, "the save is answered all the same"
        assert UPDATE not in runs, "no update with a coefficient missing (%s)" % missing
        assert agent.nvram() == nvram
        assert handed(agent, 3) is None
    agent.clear_fault("wl", "pavars")

    # A chain that is not there: nothing is set or appended, the tool runs on
    # the file as it is and the radio comes back up.
    ok(agent, "pa-init")
    runs, rep = ok(agent, "raw", "0x93", "--v1", "5", "--chain", "2")
    assert runs == ["wl down", UPDATE, "wl up"]
    assert handed(agent, 3) == "ID=pci/2/0/\n"
    assert agent.nvram() == nvram
