"""Request frames and replies, seen from the station's side of the link.

Ordinary requests go out through the station tool; malformed ones are made
with scapy.  Where a frame must get no reply, a well-formed request follows
it: the agent handles frames one at a time in arrival order, so once that
request's reply is in, anything the earlier frame caused would be in too.
"""
import time

from scapy.all import IP, UDP, Ether, Raw

import rfmsg

# The reply to set-channel, byte for byte.
SET_CHANNEL_REPLY = bytes.fromhex(
    "ffffffffffff023a915c7e480800 4500"
    "0034 0000 0000 4011 b910 c0a80101 ffffffff"
    "0424 0426 0020 0000 7f524650524f4245"
    "0000 82 00 00000000 00000000 00000000".replace(" ", ""))


def frame(payload, dst_mac="ff:ff:ff:ff:ff:ff", dst_ip="255.255.255.255", dport=rfmsg.REQ_PORT):
    return bytes(Ether(src="02:00:00:00:00:02", dst=dst_mac) / IP(src="198.18.0.2", dst=dst_ip)
                 / UDP(sport=40000, dport=dport) / Raw(payload))


def cmd_lines(rig):
    return [l for l in rig.agent_lines() if l.startswith("--cmdType")]


def codes(replies):
    return [r[rfmsg.PAYLOAD_OFF + 10] for r in replies]


def test_set_channel_reply_is_exact(agent, station):
    replies, res = station.exchange(run=station.rfprobe_argv("set-channel", "6"), expect=1)
    assert res["rc"] == 0, res["stderr"]
    assert replies == [SET_CHANNEL_REPLY]
    assert cmd_lines(agent) == ["--cmdType = 82"]
    assert agent.journal() == [], "set-channel only records the channel"


def test_enter_test_mode_reply_and_commands(agent, station):
    replies, res = station.exchange(run=station.rfprobe_argv("enter-test-mode"), expect=1)
    assert res["rc"] == 0, res["stderr"]
    expected = bytearray(SET_CHANNEL_REPLY)
    expected[rfmsg.PAYLOAD_OFF + 10] = rfmsg.ENTER_TEST_MODE
    expected[rfmsg.PAYLOAD_OFF + 15] = 1
    assert replies == [bytes(expected)]
    assert agent.journal() == ["killall -9 acsd", "wl down", "wl band b", "wl up", 'wl ssid ""',
                               "wl phy_forcecal 1"]


def test_exit_test_keeps_serving(agent, station):
    r = station.rfprobe("exit-test")
    assert r.returncode == 0, r.stderr
    r = station.rfprobe("--json", "set-channel", "11")
    assert r.returncode == 0, r.stderr
    assert '"code":130' in r.stdout
    lines = agent.agent_lines()
    i = lines.index("--cmdType = 81")
    assert lines[i + 1] == "EXIT TEST."
    assert "--cmdType = 82" in lines[i + 2:]
    assert agent.agent.poll() is None


def test_codes_without_a_command_get_no_reply(agent, station):
    unknown = [0x84, 0x94, 0x7F, 0x00, 0xFF]
    frames = [frame(rfmsg.payload(c)) for c in unknown] + [frame(rfmsg.payload(rfmsg.EXIT_TEST))]
    replies, _ = station.exchange(frames, expect=1)
    assert codes(replies) == [rfmsg.EXIT_TEST]
    assert cmd_lines(agent) == ["--cmdType = %x" % c for c in unknown + [rfmsg.EXIT_TEST]]
    assert agent.journal() == []


def test_wrong_magic_is_dropped_silently(agent, station):
    bad = [b"\x7fRFPROBF", b"\x7eRFPROBE", b"\x00" * 8, b"RFPROBE\x7f"]
    frames = [frame(rfmsg.payload(rfmsg.ENTER_TEST_MODE, magic=m)) for m in bad]
    frames.append(frame(rfmsg.payload(rfmsg.SET_CHANNEL, 3)))
    replies, _ = station.exchange(frames, expect=1)
    assert codes(replies) == [rfmsg.SET_CHANNEL]
    assert cmd_lines(agent) == ["--cmdType = 82"]
    assert agent.journal() == []


def test_frames_too_short_for_their_command(agent, station):
    # Each one ends a byte before the last field its command reads.
    short = [
        rfmsg.payload(rfmsg.ENTER_TEST_MODE)[:10],        # no command code
        rfmsg.payload(rfmsg.SET_CHANNEL, 9)[:11],         # no channel byte
        rfmsg.payload(rfmsg.SET_TX, 0, 20, 175)[:19],     # power word cut
        rfmsg.payload(rfmsg.START_RX, 0, 20)[:15],        # bandwidth word cut
        rfmsg.payload(rfmsg.WRITE_PA_PARAMS, 0, 1, 2, 3, chain=0)[:24],  # no chain
        rfmsg.payload(rfmsg.READ_PA_PARAMS, chain=0)[:24],
    ]
    # Exactly long enough: these are served.
    exact = [rfmsg.payload(rfmsg.SET_CHANNEL, 9)[:12], rfmsg.payload(rfmsg.SET_TX, 0, 20, 175)[:20]]
    before = agent.router_rx_packets()
    replies, _ = station.exchange([frame(p) for p in short + exact], expect=2)
    assert agent.router_rx_packets() - before == len(short + exact), "all frames reached the router"
    assert codes(replies) == [rfmsg.SET_CHANNEL, rfmsg.SET_TX]
    assert cmd_lines(agent) == ["--cmdType = 82", "--cmdType = 95"], "dropped without a log line"
    # Nothing of the short frames reached the radio: only set-TX's commands.
    assert "wl pavars" not in " ".join(agent.journal())
    assert "wl counters" not in agent.journal()
    assert "wl chanspec -c 9 -b 2 -w 20 -s 0" in agent.journal()
    assert "wl txpwr1 -o -q 70" in agent.journal()
    assert agent.agent.poll() is None


def test_ethernet_padding_is_not_read_as_fields(agent, station):
    """A NIC pads a short frame to 60 bytes.  Requests cut before their
    fields, padded with zeros as a NIC does it (and once more as sent, for a
    NIC on the way that pads them itself), are dropped: the padding lies
    beyond the UDP length and is never a channel, a bandwidth or a power."""
    cut = [rfmsg.payload(rfmsg.START_RX, 0, 20)[:15],      # runs "wl chanspec -c 0 ... -w 0" if read
           rfmsg.payload(rfmsg.SET_TX, 0, 20, 175)[:17],
           rfmsg.payload(rfmsg.READ_PA_PARAMS, chain=1)[:18]]
    padded = [f + bytes(60 - len(f)) for f in (frame(p) for p in cut)]
    assert all(len(f) == 60 for f in padded)
    replies, _ = station.exchange(padded + [frame(p) for p in cut]
                                  + [frame(rfmsg.payload(rfmsg.SET_CHANNEL, 7))], expect=1)
    assert codes(replies) == [rfmsg.SET_CHANNEL]
    assert cmd_lines(agent) == ["--cmdType = 82"], "dropped without a log line"
    assert agent.journal() == [], "nothing reached the radio"


def test_same_request_twice_is_served_twice(agent, station):
    twice = [frame(rfmsg.payload(rfmsg.ENTER_TEST_MODE))] * 2
    replies, _ = station.exchange(twice, expect=2)
    assert codes(replies) == [rfmsg.ENTER_TEST_MODE] * 2
    assert replies[0] == replies[1]
    assert cmd_lines(agent) == ["--cmdType = 80"] * 2
    assert agent.journal().count("killall -9 acsd") == 2
    assert agent.journal().count("wl phy_forcecal 1") == 2


def test_request_to_another_mac_and_ip_is_served(agent, station):
    other = frame(rfmsg.payload(rfmsg.SET_CHANNEL, 6), dst_mac="02:11:22:33:44:55", dst_ip="10.20.30.40")
    replies, _ = station.exchange([other], expect=1)
    assert replies == [SET_CHANNEL_REPLY]
    # Unicast to the router's own address through the station tool, too.
    r = station.rfprobe("--to", "198.18.0.1", "set-channel", "6")
    assert r.returncode == 0, r.stderr
    assert cmd_lines(agent) == ["--cmdType = 82"] * 2


def test_replies_to_port_1060_only_are_requests(agent, station):
    # The agent's own replies go to port 1062 and never come back as requests;
    # a test frame to another port is not captured at all.
    frames = [frame(rfmsg.payload(rfmsg.ENTER_TEST_MODE), dport=1062),
              frame(rfmsg.payload(rfmsg.ENTER_TEST_MODE), dport=1061),
              frame(rfmsg.payload(rfmsg.SET_CHANNEL, 1))]
    replies, _ = station.exchange(frames, expect=1)
    assert codes(replies) == [rfmsg.SET_CHANNEL]
    assert cmd_lines(agent) == ["--cmdType = 82"]


def test_requests_wait_while_a_handler_runs(agent, station):
    """Requests that arrive while a handler runs a slow command wait in the
    capture ring and are all handled and answered once it is done.  (A burst
    of 400 replies is more than the station's sniffer keeps up with, so the
    replies are counted where the agent sends them.)"""
    agent.set_fault("wl", "down", delay=3000, once=True)
    sent_before = agent.router_tx_packets()
    frames = [frame(rfmsg.payload(rfmsg.SET_TX, 0, 20, 175))]
    frames += [frame(rfmsg.payload(rfmsg.SET_CHANNEL, 6))] * 400
    station.exchange(frames=frames, expect=0, timeout=0)
    deadline = time.monotonic() + 30
    while cmd_lines(agent).count("--cmdType = 82") < 400 and time.monotonic() < deadline:
        time.sleep(0.1)
    assert cmd_lines(agent) == ["--cmdType = 95"] + ["--cmdType = 82"] * 400
    assert agent.router_tx_packets() - sent_before >= 401

