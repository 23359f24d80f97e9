"""Wire soak and kill -9 runs against the agent on the simulated router.

Shared by bench/soak (the full runs) and tests/e2e/test_faults.py (short
ones).  Two halves:

- the station half runs inside the station namespace (this file executed by
  /usr/bin/python3 with a JSON job on stdin): it builds raw frames once with
  struct, writes them on an AF_PACKET socket and counts the replies on a UDP
  socket bound to port 1062.  The sender keeps at most `window` frames
  beyond the last one answered (the agent's capture ring holds 32), so the
  ring never overflows whatever the speed of the machine: every frame the
  agent should answer must be answered, in order.
- the host half starts jobs, reads the agent's /proc figures and checks its
  log against what the station sent.

Every frame goes to the broadcast addresses, so the router's stack drops all
of them quietly; only the agent's capture sees them.
"""
import json
import os
import random
import socket
import struct
import subprocess
import sys
import time

MAGIC = b"\x7fRFPROBE"
REQ_PORT, REPLY_PORT = 1060, 1062
STATION_MAC = bytes.fromhex("020000000002")
BCAST_MAC = b"\xff" * 6
STATION_IP = bytes([198, 18, 0, 2])
BCAST_IP = b"\xff" * 4
PAYLOAD_OFF = 42

# From the agent's src/proto/testmsg.h: cmake --build BUILD --target command-tables
# BEGIN cmdtable python-need
# Captured bytes each command needs; codes not listed have no command.
NEED = {0x80: 53, 0x81: 53, 0x82: 54, 0x83: 54, 0x87: 53, 0x91: 53, 0x92: 67, 0x93: 67,
        0x95: 62, 0x96: 53, 0x97: 58, 0x98: 53, 0x99: 53, 0x9A: 53, 0x9B: 53, 0x9C: 53}
# END cmdtable python-need
UNKNOWN_CODES = [c for c in range(256) if c not in NEED]


# ----- frames -----

def payload(cmd, byte=0, v1=0, v2=0, v3=0, chain=0, magic=MAGIC):
    return magic + b"\0\0" + struct.pack(">BBIIIB", cmd, byte, v1 & 0xFFFFFFFF, v2 & 0xFFFFFFFF,
                                          v3 & 0xFFFFFFFF, chain)


def _csum(b):
    if len(b) % 2:
        b += b"\0"
    s = sum(struct.unpack("!%dH" % (len(b) // 2), b))
    s = (s >> 16) + (s & 0xFFFF)
    s += s >> 16
    return ~s & 0xFFFF


def ip_header(proto, body_len, options=b"", frag=0, total=None, good_csum=True):
    ihl = 5 + len(options) // 4
    tot = total if total is not None else ihl * 4 + body_len
    h = struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, tot, 0x1234, frag, 64, proto, 0, STATION_IP,
                    BCAST_IP) + options
    c = _csum(h) if good_csum else 0xBEEF
    return h[:10] + struct.pack("!H", c) + h[12:]


def udp_frame(data, dport=REQ_PORT, options=b"", frag=0, ip_total=None, udp_len=None,
              good_csum=True):
    udp = struct.pack("!HHHH", 40000, dport, udp_len if udp_len is not None else 8 + len(data), 0)
    body = udp + data
    return (BCAST_MAC + STATION_MAC + b"\x08\x00"
            + ip_header(17, len(body), options, frag, ip_total, good_csum) + body)


def tcp_frame(data, dport=REQ_PORT):
    tcp = struct.pack("!HHIIBBHHH", 40001, dport, 1, 0, 5 << 4, 0x02, 8192, 0, 0)
    body = tcp + data
    return BCAST_MAC + STATION_MAC + b"\x08\x00" + ip_header(6, len(body)) + body


class Kind:
    """One sort of frame: how to make one, its reply code (None: no reply)
    and the code its log line shows (None: dropped without a line)."""

    def __init__(self, name, make, reply, logged, weight, shell=False):
        self.name, self.make, self.reply, self.logged = name, make, reply, logged
        self.weight, self.shell = weight, shell


def _short(rng):
    code = rng.choice(sorted(NEED))
    cut = rng.randrange(14, NEED[code])
    return udp_frame(payload(code, 1, 2, 3, 4))[:cut]


def _padded_short(rng):
    # Cut before its last field and padded to 60 bytes, as a NIC sends it:
    # the UDP length ends the request before the padding.
    code = rng.choice([c for c in sorted(NEED) if NEED[c] > 53])
    f = udp_frame(payload(code, 1, 2, 3, 4)[:NEED[code] - 43])
    return f + bytes(max(0, 60 - len(f)))


def _wrong_magic(rng):
    m = bytearray(MAGIC)
    m[rng.randrange(8)] ^= 1 << rng.randrange(8)
    return udp_frame(payload(0x80, magic=bytes(m)))


def _garbage(rng):
    n = rng.randrange(0, 1500)
    etype = rng.choice([b"\x08\x00", b"\x88\xb5"])
    return BCAST_MAC + STATION_MAC + etype + bytes(rng.getrandbits(8) for _ in range(n))


def kinds(shell=True):
    """The soak's mix.  Frames of the light kinds are made once and reused;
    `short`, `wrong-magic`, `unknown-code` and `garbage` get a few variants."""
    ks = [
        # Answered, no shell command.
        Kind("set-channel", lambda r: udp_frame(payload(0x82, r.randrange(1, 15))), 0x82, 0x82, 30),
        Kind("set-antenna", lambda r: udp_frame(payload(0x83, r.randrange(0, 2))), 0x83, 0x83, 8),
        Kind("exit-test", lambda r: udp_frame(payload(0x81)), 0x81, 0x81, 4),
        Kind("exact-length", lambda r: udp_frame(payload(0x82, 7)[:12]), 0x82, 0x82, 4),
        Kind("oversized", lambda r: udp_frame(payload(0x82, 9) + bytes(1514 - 42 - 25)), 0x82, 0x82, 4),
        # A UDP length past the capture or shorter than its header is not
        # believed: the captured end counts.
        Kind("bad-ip-lengths", lambda r: udp_frame(payload(0x83, 1), ip_total=1500, udp_len=r.choice([1500, 4]),
                                                   good_csum=False), 0x83, 0x83, 2),
        # Logged, no reply.
        Kind("unknown-code", lambda r: udp_frame(payload(r.choice(UNKNOWN_CODES))), None, "unknown", 6),
        # Dropped without a line.
        Kind("short", _short, None, None, 8),
        Kind("padded-short", _padded_short, None, None, 2),
        Kind("wrong-magic", _wrong_magic, None, None, 8),
        Kind("tcp-1060", lambda r: tcp_frame(payload(0x80)), None, None, 4),
        Kind("ip-options", lambda r: udp_frame(payload(0x80), options=b"\x94\x04\x00\x00"), None, None, 4),
        Kind("port-1061", lambda r: udp_frame(payload(0x80), dport=1061), None, None, 3),
        Kind("later-fragment", lambda r: udp_frame(payload(0x80), frag=0x0003), None, None, 3),
        Kind("garbage", _garbage, None, None, 6),
    ]
    if shell:
        ks += [
            Kind("pa-read", lambda r: udp_frame(payload(0x92, chain=0)), 0x92, 0x92, 0, True),
            Kind("stop-tx", lambda r: udp_frame(payload(0x96)), 0x96, 0x96, 0, True),
            Kind("start-rx", lambda r: udp_frame(payload(0x97, 3, 20)), 0x97, 0x97, 0, True),
            Kind("stop-rx", lambda r: udp_frame(payload(0x98)), 0x98, 0x98, 0, True),
            Kind("enter-test-mode", lambda r: udp_frame(payload(0x80)), 0x80, 0x80, 0, True),
            Kind("start-cyc-tx", lambda r: udp_frame(payload(0x99)), 0x99, 0x99, 0, True),
            Kind("stop-cyc-tx", lambda r: udp_frame(payload(0x9A)), 0x9A, 0x9A, 0, True),
        ]
    return ks


SHELL_ROTATION = ["pa-read", "start-rx", "stop-rx", "stop-tx", "enter-test-mode", "start-cyc-tx"]


def plan(n, seed, shell_every=500, variants=64, shell_names=None, cyc_pair=True):
    """The frame sequence: n frames of the light kinds in random order, and
    every `shell_every` frames one request that runs the simulated wl (the
    continuous TX start is always followed at once by its stop).  Returns
    (kinds, list of (kind index, frame)).  Without cyc_pair the worker is
    left running: later starts find it running and only reply."""
    rng = random.Random(seed)
    ks = kinds()
    light = [i for i, k in enumerate(ks) if not k.shell]
    shell_names = shell_names or SHELL_ROTATION
    index = {k.name: i for i, k in enumerate(ks)}
    pools = {}
    for i, k in enumerate(ks):
        pools[i] = [k.make(rng) for _ in range(variants if not k.shell else 1)]
    weights = [ks[i].weight for i in light]
    seq = []
    picks = rng.choices(light, weights, k=n)
    s = 0
    for j, i in enumerate(picks):
        if shell_every and j % shell_every == shell_every - 1:
            name = shell_names[s % len(shell_names)]
            s += 1
            seq.append((index[name], pools[index[name]][0]))
            if name == "start-cyc-tx" and cyc_pair:
                seq.append((index["stop-cyc-tx"], pools[index["stop-cyc-tx"]][0]))
            continue
        seq.append((i, rng.choice(pools[i])))
    return ks, seq


# ----- the station half -----

def station_main(job):
    """Send the plan, count replies.  Job: iface, n, seed, shell_every,
    window, stall (s), duration (s, 0: send the whole plan), ready (print a
    line once the sockets are open and wait for a line on stdin)."""
    if "frames" in job:
        # Given frames: [hex, reply code or None, logged code or None].
        ks = [Kind("given-%d" % j, None, r, l, 0) for j, (_, r, l) in enumerate(job["frames"])]
        seq = [(j, bytes.fromhex(h)) for j, (h, _, _) in enumerate(job["frames"])]
    else:
        ks, seq = plan(job["n"], job["seed"], job.get("shell_every", 500), shell_names=job.get("shell_names"),
                       cyc_pair=job.get("cyc_pair", True))
    tx = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    tx.bind((job["iface"], 0))
    tx.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 22)
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
    rx.bind(("0.0.0.0", REPLY_PORT))
    rx.setblocking(False)
    if job.get("ready"):
        print("ready", flush=True)
        sys.stdin.readline()

    window = job.get("window", 16)
    stall = job.get("stall", 30.0)
    duration = job.get("duration", 0)
    expected = []          # reply codes in the order they must come
    got = []               # reply codes as they came
    bad_replies = []       # replies that are not 24 bytes of magic + code
    sent = {k.name: 0 for k in ks}
    logged = {}            # code (or "unknown") -> frames that must log a line
    values = {}            # code -> set of value1 seen (pa-read, stop-rx...)

    def drain(block_s):
        deadline = time.monotonic() + block_s
        while True:
            try:
                data = rx.recv(2048)
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    return
                time.sleep(0.0005)
                continue
            if len(data) != 24 or data[:8] != MAGIC:
                bad_replies.append(data.hex())
                continue
            got.append(data[10])
            if data[10] in (0x92, 0x98, 0x80):
                values.setdefault(data[10], set()).add(struct.unpack(">I", data[12:16])[0])

    sync = udp_frame(payload(0x82, 1))
    answered_at = []       # send index of each answered frame, in order
    t0 = time.monotonic()
    stalled = False
    n_sent = 0

    def send(frame, reply, logged_as, name):
        nonlocal n_sent
        tx.send(frame)
        sent[name] = sent.get(name, 0) + 1
        if reply is not None:
            expected.append(reply)
            answered_at.append(n_sent)
        if logged_as is not None:
            code = logged_as if logged_as == "unknown" else "%x" % logged_as
            logged[code] = logged.get(code, 0) + 1
        n_sent += 1

    def in_flight():
        # Frames sent after the last one whose reply is in: the agent takes
        # frames in order, so everything up to that one has left the ring.
        done = min(len(got), len(answered_at))
        return n_sent - 1 - (answered_at[done - 1] if done else -1)

    for i, frame in seq:
        if duration and time.monotonic() - t0 > duration:
            break
        k = ks[i]
        last_progress, last_got = time.monotonic(), len(got)
        while in_flight() >= window:
            if len(got) >= len(expected):
                # Only unanswered frames are out: a set-channel shows when
                # they have been taken.
                send(sync, 0x82, 0x82, "sync")
                continue
            drain(0.002)
            if len(got) != last_got:
                last_progress, last_got = time.monotonic(), len(got)
            elif time.monotonic() - last_progress > stall or (duration and time.monotonic() - t0 > duration):
                stalled = True
                break
        if stalled:
            break
        send(frame, k.reply, k.logged, k.name)
        drain(0)
    # The last replies: up to a window's worth of requests may still be
    # waiting, so the wait is for progress (stall s without a reply), not
    # for all of them at once (which assumed a fast shell).
    deadline = time.monotonic() + (0.3 if duration else stall)
    while len(got) < len(expected) and time.monotonic() < deadline:
        n = len(got)
        drain(0.01)
        if len(got) != n and not duration:
            deadline = time.monotonic() + stall
    drain(0.05)
    elapsed = time.monotonic() - t0
    first_diff = next((j for j, (a, b) in enumerate(zip(expected, got)) if a != b), None)
    return dict(sent=n_sent, sent_by_kind=sent, expected=len(expected), replies=len(got), codes=got[:1000],
                replies_by_code={"%x" % c: got.count(c) for c in sorted(set(got))},
                in_order=first_diff is None and len(got) <= len(expected), first_diff=first_diff,
                logged=logged, bad_replies=bad_replies[:5], n_bad=len(bad_replies),
                values={"%x" % c: sorted(v) for c, v in values.items()}, stalled=stalled,
                elapsed=elapsed)


# ----- the host half -----

def station_job(rig, job, timeout=600):
    """Run a job in the station namespace and return its result."""
    r = rig.station("/usr/bin/python3", os.path.abspath(__file__), input=json.dumps(job), timeout=timeout)
    if r.returncode != 0:
        raise RuntimeError("station job failed:\n" + r.stderr)
    return json.loads(r.stdout)


def send_frames(rig, frames, window=16, stall=30.0):
    """Send [(frame bytes, reply code or None)] with the soak's flow control
    (window=0: all at once); returns the station's result."""
    job = dict(iface="stn0", frames=[[f.hex(), r, None] for f, r in frames], window=window or 1 << 30,
               stall=stall)
    return station_job(rig, job)


def station_start(rig, job):
    """Start a job with ready=True; returns the Popen once its sockets are
    open.  Write a line to its stdin to let it send; read its result with
    station_finish."""
    job = dict(job, ready=True)
    p = subprocess.Popen(["ip", "netns", "exec", rig.station_ns, "/usr/bin/python3", os.path.abspath(__file__)],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    p.stdin.write(json.dumps(job) + "\n")
    p.stdin.flush()
    line = p.stdout.readline()
    if line.strip() != "ready":
        p.kill()
        raise RuntimeError("station job did not start: " + p.stderr.read())
    return p


def station_finish(p, timeout=120):
    out, err = p.communicate(timeout=timeout)
    if p.returncode != 0:
        raise RuntimeError("station job failed:\n" + err)
    return json.loads(out)


def proc_figures(pid):
    """RSS, anonymous RSS, threads, open fds, and the agent's children (all,
    and zombies) from /proc."""
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            k, _, v = line.partition(":")
            if k in ("VmRSS", "RssAnon", "VmHWM", "Threads"):
                out[k] = int(v.split()[0])
    out["fds"] = len(os.listdir("/proc/%d/fd" % pid))
    children, zombies = [], []
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % d) as f:
                rest = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(rest[1]) == pid:
            children.append(int(d))
            if rest[0] == "Z":
                zombies.append(int(d))
    out["children"], out["zombies"] = len(children), len(zombies)
    return out


def cmd_counts(lines):
    """Log lines "--cmdType = xx" by code; codes without a command together
    as "unknown"."""
    counts = {}
    for l in lines:
        if l.startswith("--cmdType = "):
            try:
                code = int(l[len("--cmdType = "):], 16)
            except ValueError:
                continue  # a line cut short
            key = "%x" % code if code in NEED else "unknown"
            counts[key] = counts.get(key, 0) + 1
    return counts


def probe(rig, tries=20):
    """Send set-channel until it is answered: True once the agent serves."""
    job = dict(iface="stn0", stall=1.0)
    for _ in range(tries):
        r = rig.station("/usr/bin/python3", os.path.abspath(__file__), input=json.dumps(dict(job, probe=True)),
                        timeout=30)
        if r.returncode == 0 and json.loads(r.stdout).get("replies"):
            return True
        if rig.agent is not None and rig.agent.poll() is not None:
            return False
    return False


def probe_main(job):
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    rx.bind(("0.0.0.0", REPLY_PORT))
    rx.settimeout(job.get("stall", 1.0))
    tx = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    tx.bind((job["iface"], 0))
    tx.send(udp_frame(payload(0x82, 6)))
    try:
        data = rx.recv(2048)
    except socket.timeout:
        return dict(replies=0)
    # A reply to an earlier probe may have come first: let this one's
    # reply in too, so that none strays into the next job.
    rx.settimeout(0.2)
    try:
        rx.recv(2048)
    except socket.timeout:
        pass
    return dict(replies=1 if data[:8] == MAGIC and data[10] == 0x82 else 0)


def sub_counts(a, b):
    return {k: a.get(k, 0) - b.get(k, 0) for k in set(a) | set(b) if a.get(k, 0) != b.get(k, 0)}


def journal_expectations(sent):
    """Tool runs the soak's requests must cause, by command (the continuous
    TX worker's runs vary and are left out)."""
    return {
        "wl pavars": sent.get("pa-read", 0),
        "wl counters": sent.get("start-rx", 0) + sent.get("stop-rx", 0),
        "killall -9 acsd": sent.get("enter-test-mode", 0),
        "wl phy_forcecal 1": sent.get("enter-test-mode", 0),
        "wl pkteng_stop tx": sent.get("stop-tx", 0),
        "wl rxchain": sent.get("start-rx", 0),
        "/bin/nvramUpdate": 0,
    }


def journal_counts(journal):
    out = {}
    for j in journal:
        key = "wl rxchain" if j.startswith("wl rxchain ") else "/bin/nvramUpdate" if j.startswith(
            "/bin/nvramUpdate") else j
        out[key] = out.get(key, 0) + 1
    return out


def run_soak(rig, n, seed=1, shell_every=500, warmup=3000, rss_slack_kib=64):
    """Warm the agent up, note its figures, send n mixed frames, check the
    replies, the log and the tool runs, then that a valid request is still
    answered and the figures did not change.  Returns (report dict, list of
    problems)."""
    pid = rig.agent.pid
    figures = getattr(rig, "proc_figures", proc_figures)  # the emulated router reads its own /proc
    problems = []
    w = station_job(rig, dict(iface="stn0", n=warmup, seed=seed + 7919, shell_every=25))
    if w["replies"] != w["expected"] or not w["in_order"]:
        problems.append("warm-up: %d of %d replies (in order: %s)" % (w["replies"], w["expected"], w["in_order"]))
    before = figures(pid)
    log0, journal0 = cmd_counts(rig.agent_lines()), len(rig.journal())
    res = station_job(rig, dict(iface="stn0", n=n, seed=seed, shell_every=shell_every), timeout=3600)
    log = sub_counts(cmd_counts(rig.agent_lines()), log0)
    runs = journal_counts(rig.journal()[journal0:])
    alive = rig.agent.poll() is None
    answered_after = alive and probe(rig, tries=5)
    after = figures(pid) if alive else {}

    if res["stalled"]:
        problems.append("the agent stopped answering (no reply for %.0f s)" % 30)
    if res["replies"] != res["expected"]:
        problems.append("%d replies for %d answerable requests" % (res["replies"], res["expected"]))
    if not res["in_order"]:
        problems.append("replies out of order from reply %s on" % res["first_diff"])
    if res["n_bad"]:
        problems.append("%d malformed replies, e.g. %s" % (res["n_bad"], res["bad_replies"][:2]))
    if res["values"].get("92", [65164]) != [65164]:
        problems.append("pa-read answered %s, not 65164" % res["values"]["92"])
    if log != {k: v for k, v in res["logged"].items() if v}:
        problems.append("log lines by code %s, frames that should log %s" % (log, res["logged"]))
    for cmd, want in journal_expectations(res["sent_by_kind"]).items():
        if runs.get(cmd, 0) != want:
            problems.append("%d runs of %r, expected %d" % (runs.get(cmd, 0), cmd, want))
    if not alive:
        problems.append("the agent died: status %s" % rig.agent.returncode)
    elif not answered_after:
        problems.append("a valid request after the soak got no reply")
    if after:
        for k in ("fds", "Threads"):
            if after[k] != before[k]:
                problems.append("%s: %d before, %d after" % (k, before[k], after[k]))
        if after["zombies"] or after["children"]:
            problems.append("children left: %d (%d zombies)" % (after["children"], after["zombies"]))
        if after["RssAnon"] - before["RssAnon"] > rss_slack_kib or after["VmRSS"] - before["VmRSS"] > rss_slack_kib:
            problems.append("RSS grew: VmRSS %d -> %d KiB, RssAnon %d -> %d KiB" % (
                before["VmRSS"], after["VmRSS"], before["RssAnon"], after["RssAnon"]))
    report = dict(result=res, before=before, after=after, log=log, runs=runs, answered_after=answered_after)
    return report, problems


# Commands the agent logs right before it runs them: each run in the
# simulated tools' journal must have its log line.
LOGGED_PREFIXES = ("wl band ", "wl mimo_txbw ", "wl txchain ", "wl txant ", "wl rxchain ", "wl chanspec ",
                   "wl nrate ", "wl txpwr1 ", "wl pkteng_start ")
LOGGED_EXACT = ("wl counters", "wl pavars")


def unlogged_runs(rig_lines, journal):
    """Journal runs of logged commands that have no log line: {cmd: missing}."""
    missing = {}
    log_counts = {}
    for l in rig_lines:
        log_counts[l] = log_counts.get(l, 0) + 1
    jc = {}
    for j in journal:
        if j in LOGGED_EXACT or j.startswith(LOGGED_PREFIXES):
            jc[j] = jc.get(j, 0) + 1
    for cmd, n in jc.items():
        if log_counts.get(cmd, 0) < n:
            missing[cmd] = n - log_counts.get(cmd, 0)
    return missing


def stop_agent(rig):
    """End the agent this rig started last, with its process group."""
    a = rig.agent
    if a is None:
        return
    # With whatever of its group is left (a shell it started).
    rig.kill_group(a.pid)
    if a.poll() is None:
        a.wait()


def kill9_run(rig, seed, log_to_pipe, max_delay=0.4):
    """Start the agent, stream requests at it, kill -9 it at a random moment
    and check the log: every reply the station got and every logged command
    the simulated tools ran must have its line, and the log must end with a
    complete line.  Returns a dict of findings (empty 'problems' when fine)."""
    rng = random.Random(seed)
    reader = None
    stop_agent(rig)
    if log_to_pipe and not getattr(rig, "console_on_pipe", False):
        import threading
        agent = rig.in_root("/bin/rfprobe-agent", "-m", stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, start_new_session=True)
        rig.agent = agent
        chunks = []
        reader = threading.Thread(target=lambda: chunks.extend(iter(lambda: agent.stdout.read1(65536), b"")))
        reader.start()
    else:
        rig.start_agent(manual=True, wait=False)
    agent = rig.agent
    journal_before = len(rig.journal())
    problems = []
    if not probe(rig):
        problems.append("agent never answered")
    delay = rng.uniform(0.0, max_delay)
    job = dict(iface="stn0", n=100000, seed=seed, shell_every=rng.choice([3, 5, 10]), window=8,
               stall=5.0, duration=delay + 0.3, cyc_pair=rng.random() < 0.5)
    p = station_start(rig, job)
    p.stdin.write("go\n")
    p.stdin.flush()
    time.sleep(delay)
    agent.kill()
    agent.wait()
    # Its shell and wl, if one was running, are left to end; then the group goes.
    time.sleep(0.05)
    rig.kill_group(agent.pid)
    res = station_finish(p)
    if reader is not None:
        reader.join(10)
        agent.stdout.close()
        text = b"".join(chunks).decode(errors="replace")
    else:
        text = rig.agent_log()
    lines = [l.rstrip("\r") for l in text.split("\n")]
    journal = rig.journal()[journal_before:]
    counts = cmd_counts(lines)
    for code, n in res["replies_by_code"].items():
        if counts.get(code, 0) < n:
            problems.append("%d replies to %s but %d log lines" % (n, code, counts.get(code, 0)))
    missing = unlogged_runs(lines, journal)
    if missing:
        problems.append("commands run without their log line: %s" % missing)
    if text and not text.endswith("\n"):
        problems.append("log ends inside a line: %r" % text[-40:])
    return dict(seed=seed, pipe=log_to_pipe, delay=delay, replies=res["replies"], sent=res["sent"],
                log_lines=len([l for l in lines if l]), tool_runs=len(journal), problems=problems)


if __name__ == "__main__":
    _job = json.loads(sys.stdin.readline())
    _res = probe_main(_job) if _job.get("probe") else station_main(_job)
    json.dump(_res, sys.stdout)
