"""The operator page (rfprobe serve) in Debian's Chromium, headless, driven
through Selenium: scans start runs on the simulated line, the panels show
the steps and the verdict, Stop and Ctrl-C keep their records, a reload or a
lost station is shown for what it is.  Screenshots are kept under
BUILD/serve-screenshots.

The station runs in the rig's namespace; the page reaches this machine's
browser through sim/pagebridge.py (a relay on 127.0.0.1)."""
import os
import re
import signal
import socket
import sqlite3
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

import simrig
from conftest import BUILD, not_on_vm

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim"))
import pagebridge  # noqa: E402

pytestmark = not_on_vm("the operator page is tested on the namespace rig")

webdriver = pytest.importorskip("selenium.webdriver")
from chrome import Browser  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

SHOTS = os.path.join(BUILD, "serve-screenshots")
PLAN = """enter-test-mode
set-channel 6
rx --rate 15 --bw 40 --seconds 0.5 --min 700 --max 1300
pa-read 0 --pa1 -400..-350 --pa2 6000..7000 --pa3 -1600..-1400
exit-test
"""
SLOW = "enter-test-mode\nsleep 60\nexit-test\n"
LINE_PLAN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim", "plans",
                         "line-tester.plan")
WAIT = 30


def records(db):
    if not os.path.exists(db):
        return []
    with sqlite3.connect(db) as c:
        return c.execute("SELECT serial, verdict, plan_name, plan_sha256, station FROM records"
                         " ORDER BY serial").fetchall()


class Line:
    """Simulated units (two unless told), rfprobe serve on them, and a browser
    on its page."""

    def __init__(self, tmp_path, plan, listen="127.0.0.1:0", extra=(), tester=False, units=2, store=None):
        if os.geteuid() != 0:
            pytest.skip("the rig needs root (network namespaces, mounts)")
        self.tmp = tmp_path
        self.db = str(tmp_path / "r.db")
        self.store = store or self.db
        self.plan = str(tmp_path / "line3.plan")
        with open(self.plan, "w") as f:
            f.write(plan)
        self.units = units
        self.rig = simrig.MultiRig(units, BUILD, tester=tester).up()
        self.proc = self.bridge = self.driver = None
        try:
            self.rig.start_agents(manual=True)
            if tester:
                extra = ["--fixture", self.rig.fixture] + list(extra)
            self._serve(listen, extra)
        except BaseException:
            self.down()
            raise

    def _serve(self, listen, extra):
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", self.rig.station_ns, os.path.join(BUILD, "tools", "rfprobe"),
             "serve", "--plan", self.plan] +
            sum((["--unit", "stn%d=%s" % (k, "ABCDEFGH"[k])] for k in range(self.units)), []) +
            ["--store", self.store, "--spool", str(self.tmp / "s.db"), "--station", "st1",
             "--listen", listen] + list(extra),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        lines = [self.proc.stdout.readline() for _ in range(2)]
        assert "the operator page is at http://" in lines[1], lines + [self.proc.stderr.read()]
        self.url = lines[1].split(" at ", 1)[1].strip()
        hostport, _, self.query = self.url[len("http://"):].partition("/")
        self.bridge = pagebridge.PageBridge(self.rig.station_ns, int(hostport.rsplit(":", 1)[1]))
        self.base = "http://%s/" % self.bridge.address

    def browser(self, width=1280, height=900):
        self.chrome = Browser(width, height)
        self.driver = self.chrome.driver
        self.driver.get(self.base + self.query)
        self.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#unit-1 input.serial"))
        return self.driver

    def until(self, cond, timeout=WAIT):
        return WebDriverWait(self.driver, timeout, poll_frequency=0.1).until(cond)

    def panel(self, u):
        return self.driver.find_element(By.ID, "unit-%d" % u)

    def scan(self, u, serial):
        self.panel(u).find_element(By.CSS_SELECTOR, "input.serial").send_keys(serial + Keys.ENTER)

    def verdict(self, u, timeout=WAIT):
        self.until(lambda d: self.panel(u).get_attribute("data-state") == "done", timeout)
        return self.panel(u).find_element(By.CLASS_NAME, "overlay").text

    def running(self, u):
        self.until(lambda d: self.panel(u).get_attribute("data-state") == "running")

    def shot(self, name):
        os.makedirs(SHOTS, exist_ok=True)
        self.driver.save_screenshot(os.path.join(SHOTS, name + ".png"))

    def requests_seen(self, u):
        return [l for l in self.rig.units[u].agent_lines() if l.startswith("--cmdType")]

    def down(self):
        if self.driver is not None:
            self.chrome.quit()
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()
        if self.bridge is not None:
            self.bridge.close()
        self.rig.down()


@pytest.fixture
def line(request, tmp_path):
    plan = getattr(request, "param", PLAN)
    ln = Line(tmp_path, plan)
    try:
        yield ln
    finally:
        ln.down()


def test_two_units_scanned_pass_and_fail_with_the_records_of_run(line):
    line.rig.units[1].set_state(rxrate="20")  # unit B receives badly
    d = line.browser()
    # The first panel's field has the focus: a scanner types there at once.
    d.switch_to.active_element.send_keys("SN0001" + Keys.ENTER)
    line.scan(1, "SN0002")
    assert (line.verdict(0), line.verdict(1)) == ("PASS", "FAIL")
    steps = line.panel(1).find_elements(By.CSS_SELECTOR, "table.steps tr")
    assert len(steps) == 5
    rx = steps[2].text
    assert "rx --rate 15" in rx and "count" in rx and "below 700" in rx and "FAIL" in rx
    assert "pa1 -372 in -400..-350" in steps[3].text
    # The last units, newest first (the two may end in either order).
    assert sorted(r.text.split()[:3] for r in d.find_elements(By.CSS_SELECTOR, "#history tr")) == [
        ["SN0001", "A", "PASS"], ["SN0002", "B", "FAIL"]]
    line.shot("pass-and-fail")
    # Each unit's router served its own run, at once.
    for u in (0, 1):
        assert sum(l == "--cmdType = 97" for l in line.requests_seen(u)) == 1
    # The verdict stays until the next scan.
    time.sleep(1)
    assert line.panel(0).find_element(By.CLASS_NAME, "overlay").text == "PASS"
    # The same record as `rfprobe run --unit`: plan, digest, station, verdict.
    r = line.rig.station("rfprobe", "run", line.plan, "--unit", "stn0=SN0003", "--store", line.db,
                         "--spool", str(line.tmp / "s.db"), "--station", "st1", timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
    rows = {s: rest for s, *rest in records(line.db)}
    assert rows["SN0001"] == rows["SN0003"] and rows["SN0002"][0] == "FAIL"
    with sqlite3.connect(line.db) as c:
        steps = lambda sn: c.execute(
            "SELECT s.line, s.command, s.verdict FROM steps s JOIN records r"
            " ON s.record_id = r.record_id WHERE r.serial = ? ORDER BY s.line", (sn,)).fetchall()
        assert steps("SN0001") == steps("SN0003") and len(steps("SN0001")) == 5


@pytest.mark.parametrize("line", [SLOW], indirect=True)
def test_stop_ends_a_run_error_with_its_record_and_a_busy_unit_refuses_a_scan(line):
    d = line.browser()
    line.scan(0, "SN0100")
    line.running(0)
    line.scan(0, "SN0101")  # still testing: refused, the run goes on
    line.until(lambda d: "still testing SN0100" in line.panel(0).text)
    t0 = time.monotonic()
    line.panel(0).find_element(By.CLASS_NAME, "stop").click()
    assert line.verdict(0) == "ERROR"
    assert time.monotonic() - t0 < 10  # not after the plan's 60 s
    line.shot("stopped")
    assert [r[:2] for r in records(line.db)] == [("SN0100", "ERROR")]
    assert line.panel(1).get_attribute("data-state") == "idle"


@pytest.mark.parametrize("line", ["enter-test-mode\nsleep 3\nexit-test\n"], indirect=True)
def test_a_reload_mid_run_shows_the_live_state(line):
    d = line.browser()
    line.scan(1, "SN0200")
    line.until(lambda d: "sleep" in line.panel(1).text)
    d.refresh()
    line.until(lambda d: d.find_elements(By.ID, "unit-1"))
    line.until(lambda d: line.panel(1).get_attribute("data-state") == "running")
    assert "SN0200" in line.panel(1).text and "enter-test-mode" in line.panel(1).text
    line.shot("reloaded-mid-run")
    assert line.verdict(1) == "PASS"
    assert [r[:2] for r in records(line.db)] == [("SN0200", "PASS")]


@pytest.mark.parametrize("serial", ["SN 01", "", "x" * 65, "SN/01"])
def test_a_bad_serial_gets_a_message_and_nothing_is_sent(line, serial):
    line.browser()
    line.scan(0, serial)
    line.until(lambda d: "nothing was sent" in line.panel(0).text)
    assert line.panel(0).get_attribute("data-state") == "idle"
    if serial == "SN 01":
        line.shot("bad-serial")
    time.sleep(0.5)
    assert line.requests_seen(0) == [] and records(line.db) == []


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGINT])
@pytest.mark.parametrize("line", [SLOW], indirect=True)
def test_the_station_ending_mid_run(line, sig):
    d = line.browser()
    line.scan(0, "SN0300")
    line.scan(1, "SN0301")
    line.running(0), line.running(1)
    line.until(lambda d: all(line.requests_seen(u) for u in (0, 1)))
    line.proc.send_signal(sig)
    line.proc.communicate(timeout=20)
    line.until(lambda d: d.find_element(By.ID, "lost").is_displayed())
    assert "Lost the station" in d.find_element(By.ID, "lost").text
    if sig == signal.SIGKILL:
        line.shot("station-lost")
        # Killed: no record at all, and the store is whole.
        assert records(line.db) == []
        if os.path.exists(line.db):
            with sqlite3.connect(line.db) as c:
                assert c.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    else:
        # Ctrl-C: every run ends as the command line's would, its record kept.
        assert line.proc.returncode == 130
        assert [r[:2] for r in records(line.db)] == [("SN0300", "ERROR"), ("SN0301", "ERROR")]


def test_on_loopback_only_this_machines_names_are_served(line):
    # A site whose name points at 127.0.0.1 sends its own Host: refused.
    req = urllib.request.Request(line.base + "state", headers={"Host": "attacker.example:8080"})
    with pytest.raises(urllib.error.HTTPError) as e:
        urllib.request.urlopen(req, timeout=10)
    assert e.value.code == 403
    with urllib.request.urlopen(line.base + "state", timeout=10) as r:
        assert r.status == 200


# Every path the station serves, with what it answers when the token is
# right: the stream included (it carries the whole page's state).
PATHS = [("", None, 200), ("page.css", None, 200), ("page.js", None, 200), ("state", None, 200),
         ("events", None, 200), ("start", b"unit=9&serial=SN1", 400), ("stop", b"unit=0", 409)]

def framed_out(headers):
    """No other site may show the page in a frame of its own."""
    return (headers.get("X-Frame-Options") == "DENY"
            and "frame-ancestors 'none'" in headers.get("Content-Security-Policy", ""))


def test_beyond_loopback_every_request_needs_the_token(tmp_path):
    ln = Line(tmp_path, PLAN, listen="0.0.0.0:0")
    try:
        assert "?token=" in ln.url and len(ln.query) > len("?token=") + 16
        token = ln.query[len("?token="):]
        for path, data, right in PATHS:
            for query, header in (("", None), ("?token=" + "0" * len(token), None),
                                  ("", "0" * len(token)), ("?token=" + token, "-")):
                headers = {"X-Rfprobe-Token": header} if header else {}
                req = urllib.request.Request(ln.base + path + query, data=data, headers=headers)
                with pytest.raises(urllib.error.HTTPError) as e:
                    urllib.request.urlopen(req, timeout=10)
                assert e.value.code == 403, (path, query, header)
                assert framed_out(e.value.headers), (path, e.value.headers)
            headers = {"X-Rfprobe-Token": token} if data else {}
            req = urllib.request.Request(ln.base + path + ("" if data else ln.query), data=data,
                                         headers=headers)
            try:
                with urllib.request.urlopen(req, timeout=10) as r:
                    status, got = r.status, r.headers
            except urllib.error.HTTPError as e:
                status, got = e.code, e.headers
            assert status == right and framed_out(got), (path, status)
        assert ln.requests_seen(0) == [] and records(ln.db) == []
    finally:
        ln.down()


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(next(l for l in f if l.startswith("VmRSS:")).split()[1])


@pytest.mark.parametrize("line", [SLOW], indirect=True)
def test_no_crowd_of_viewers_slow_or_flooding_client_keeps_a_scan_from_starting(line):
    port = line.bridge.target[1]
    get = b"GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port
    streams = [line.bridge.dial("127.0.1.%d" % (k + 1)) for k in range(60)]
    for s in streams:  # open pages that never read their events
        s.sendall(get)
    slow = [line.bridge.dial("127.0.2.%d" % (k + 1)) for k in range(30)]
    for s in slow:
        s.sendall(b"GET / HTTP/1.1\r\n")
    flood = line.bridge.dial("127.0.3.1")
    flood.settimeout(10)
    head = b"GET / HTTP/1.1\r\n" + b"a: b\r\n" * 200000
    try:
        flood.sendall(head)
    except OSError:
        pass  # refused before it was all sent
    assert flood.recv(200).startswith(b"HTTP/1.1 431 ")
    # One address cannot take every connection.
    crowd = [line.bridge.dial("127.0.4.1") for _ in range(40)]
    time.sleep(0.5)
    dropped = 0
    for s in crowd:
        s.settimeout(0.05)
        try:
            dropped += s.recv(10) == b""
        except (socket.timeout, ConnectionResetError):
            pass
    assert dropped == 40 - 32, dropped
    t0 = time.monotonic()
    with urllib.request.urlopen(line.base, timeout=10) as r:
        assert r.status == 200
    req = urllib.request.Request(line.base + "start", data=b"unit=1&serial=SN0900",
                                 headers={"X-Rfprobe-Token": "-"})
    with urllib.request.urlopen(req, timeout=10) as r:
        assert r.status == 200
    assert time.monotonic() - t0 < 1.0
    # A slow client, one header byte at a time, is dropped when its time is up.
    deadline = time.monotonic() + 8
    alive = list(slow)
    while alive and time.monotonic() < deadline:
        for s in list(alive):
            try:
                s.send(b"X")
            except OSError:
                alive.remove(s)
        time.sleep(0.5)
    assert alive == []
    assert rss_kb(line.proc.pid) < 64 * 1024
    for s in streams + slow + crowd + [flood]:
        s.close()


def answer(sock):
    """The status line of the reply to a request sent with Connection: close."""
    sock.settimeout(10)
    got = b""
    while True:
        part = sock.recv(65536)
        if not part:
            return got.split(b"\r\n", 1)[0]
        got += part


def test_a_request_head_split_by_the_network_is_read_as_in_one_write(line):
    # A browser's head with another application's cookie on the same host,
    # as a LAN splits it: each part a segment of its own, read on its own.
    port = line.bridge.target[1]
    head = (b"GET /state HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUser-Agent: Mozilla/5.0\r\n"
            b"Cookie: other=" % port + b"c" * 1300 + b"\r\nConnection: close\r\n\r\n")
    assert len(head) >= 1400

    def send(parts, pause):
        s = line.bridge.dial("127.0.5.1")
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            for p in parts:
                s.sendall(p)
                time.sleep(pause)
            return answer(s)
        finally:
            s.close()

    whole = send([head], 0)
    assert whole.startswith(b"HTTP/1.1 200 "), whole
    wrong = [(cut, got) for cut in range(1, len(head))
             for got in [send([head[:cut], head[cut:]], 0.002)] if got != whole]
    assert wrong == [], wrong[:5]
    # One byte at a time, within the time a request has (5 s).
    t0 = time.monotonic()
    assert send([head[k:k + 1] for k in range(len(head))], 0.001) == whole
    assert time.monotonic() - t0 < 5


def test_viewers_that_vanish_give_back_their_streams_within_a_minute(tmp_path):
    # 32 tablets behind one address (unit 2's router here, on the station's
    # LAN), each with its page's event stream open, drop off the Wi-Fi:
    # their link goes down, nothing is closed.  The server gives their
    # streams up within a minute, and a page from that address loads again.
    ln = Line(tmp_path, PLAN, listen="0.0.0.0:0")
    lan = None
    try:
        router = ln.rig.units[1].router_ns
        port = ln.bridge.target[1]
        lan = pagebridge.PageBridge(router, port, target_host="198.18.1.2")
        get = b"GET /events%s HTTP/1.1\r\nHost: 198.18.1.2\r\n\r\n" % ln.query.encode()

        def page():
            try:
                s = lan.dial("198.18.1.1")
                s.settimeout(2)
                s.sendall(b"GET /state%s HTTP/1.1\r\nHost: 198.18.1.2\r\nConnection: close\r\n\r\n"
                          % ln.query.encode())
                got = answer(s)
                s.close()
                return got.startswith(b"HTTP/1.1 200 ")
            except OSError:
                return False

        streams = [lan.dial("198.18.1.1") for _ in range(32)]
        for s in streams:
            s.sendall(get)
            s.settimeout(10)
            assert s.recv(100).startswith(b"HTTP/1.1 200 ")
        assert not page()  # the address's 32 are taken

        def held():
            r = subprocess.run(["ip", "netns", "exec", ln.rig.station_ns, "ss", "-Htn", "state", "established",
                                "dst", "198.18.1.1"], capture_output=True, text=True, check=True)
            return len(r.stdout.splitlines())

        assert held() == 32
        subprocess.run(["ip", "-n", router, "link", "set", "eth0", "down"], check=True)
        t0 = time.monotonic()
        while held():
            assert time.monotonic() - t0 < 60, "%d streams of vanished viewers still held" % held()
            time.sleep(1)
        subprocess.run(["ip", "-n", router, "link", "set", "eth0", "up"], check=True)
        t0 = time.monotonic()
        while not page():
            assert time.monotonic() - t0 < 10, "the address's slots did not come free"
            time.sleep(0.5)
        for s in streams:
            s.close()
    finally:
        if lan is not None:
            lan.close()
        ln.down()


def test_tester_steps_run_from_the_page_with_the_fixture_as_run_runs_them(tmp_path):
    ln = Line(tmp_path, open(LINE_PLAN).read(), tester=True)
    try:
        # Without a fixture, or without an entry for one of the units, serve
        # is refused at start and nothing reaches a unit.
        half = simrig.write_fixture(str(tmp_path / "half.toml"), [("stn0", 1, simrig.unit_loss(0))])
        refusals = [((), "needs the tester: give --fixture FILE or RFPROBE_FIXTURE"),
                    (("--fixture", half), "has no unit on interface stn1")]
        for fixture, says in refusals:
            r = ln.rig.station("rfprobe", "serve", "--plan", ln.plan, "--unit", "stn0=A", "--unit",
                               "stn1=B", "--store", str(tmp_path / "other.db"), "--listen",
                               "127.0.0.1:0", *fixture, timeout=30)
            assert r.returncode == 2 and says in r.stderr and "nothing was sent" in r.stderr, r.stderr
        assert ln.requests_seen(0) == ln.requests_seen(1) == []
        # Both units at once on the one tester: PASS, the measurements on the page.
        ln.browser()
        ln.scan(0, "SN0500")
        ln.scan(1, "SN0501")
        assert (ln.verdict(0, 90), ln.verdict(1, 90)) == ("PASS", "PASS")
        steps = ln.panel(0).find_elements(By.CSS_SELECTOR, "table.steps tr")
        # As the station's line reads them: at their resolution, with units.
        assert "tx-measure" in steps[4].text and re.search(r"power -?\d+\.\d\d dBm", steps[4].text), steps[4].text
        assert "rx-per" in steps[5].text and re.search(r"per \d+\.\d\d %", steps[5].text), steps[5].text
        ln.shot("tester-pass")
        # The record of rfprobe run --fixture --unit: the same steps, the same
        # measurements, the tester's identity.
        r = ln.rig.station("rfprobe", "run", ln.plan, "--fixture", ln.rig.fixture, "--unit",
                           "stn0=SN0502", "--store", ln.db, "--spool", str(tmp_path / "s.db"),
                           "--station", "st1", timeout=90)
        assert r.returncode == 0, r.stdout + r.stderr
        with sqlite3.connect(ln.db) as c:
            def measured(sn):
                return c.execute(
                    "SELECT s.command, m.name, m.verdict FROM measurements m JOIN steps s"
                    " USING (record_id, step_index) JOIN records r USING (record_id)"
                    " WHERE r.serial = ? ORDER BY m.step_index, m.measurement_index", (sn,)).fetchall()

            def meta(sn):
                return dict(c.execute("SELECT key, value FROM record_metadata JOIN records"
                                      " USING (record_id) WHERE serial = ?", (sn,)).fetchall())

            waits = [v for (v,) in c.execute(
                "SELECT m.value FROM measurements m JOIN records r USING (record_id)"
                " WHERE m.name = 'tester_wait_ms' AND r.serial IN ('SN0500', 'SN0501')")]
        assert ("tx-measure", "power", "PASS") in measured("SN0500")
        assert measured("SN0500") == measured("SN0501") == measured("SN0502")
        for sn in ("SN0500", "SN0501"):
            assert meta(sn)["tester_idn"] == meta("SN0502")["tester_idn"]
            assert meta(sn)["tester_idn"].startswith("rfprobe,SIMTESTER,")
        # Each tester step took its turn on the shared tester (whether the two
        # overlapped depends on the scans' timing, so no wait is required).
        assert len(waits) == 4 and min(waits) >= 0, waits
        assert [r[:2] for r in records(ln.db)] == [("SN0500", "PASS"), ("SN0501", "PASS"),
                                                   ("SN0502", "PASS")]
    finally:
        ln.down()


FLOW = PLAN.replace("enter-test-mode\n", "enter-test-mode\nsleep 3\n")


def contrast(fg, bg):
    """WCAG contrast of two computed colours ("rgb(r, g, b)")."""
    def lum(css):
        c = [int(x) / 255 for x in re.findall(r"\d+", css)[:3]]
        c = [x / 12.92 if x <= 0.04045 else ((x + 0.055) / 1.055) ** 2.4 for x in c]
        return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2]
    a, b = sorted((lum(fg), lum(bg)), reverse=True)
    return (a + 0.05) / (b + 0.05)


VERDICT_BOXES = """return [innerWidth, innerHeight, [...document.querySelectorAll('.panel')].map(p => {
  const o = p.querySelector('.overlay'), r = o.getBoundingClientRect(), q = p.getBoundingClientRect(),
        cs = getComputedStyle(o);
  return [p.id, r.left, r.top, r.right, r.bottom, r.width * r.height / (q.width * q.height),
          cs.color, cs.backgroundColor, o.textContent];
})];"""
FOCUSED = """const a = document.activeElement, p = a && a.closest('.panel');
return [p ? p.id : null, a.className, a.value];"""


@pytest.mark.parametrize("units", [4, 8])
def test_every_unit_on_one_screen_and_a_scan_is_never_lost(tmp_path, units):
    ln = Line(tmp_path, FLOW, units=units)
    try:
        ln.rig.units[1].set_state(rxrate="20")  # unit B receives badly: FAIL
        d = ln.browser(1366, 768)
        typed = lambda serial: d.switch_to.active_element.send_keys(serial + Keys.ENTER)
        focused = lambda: tuple(d.execute_script(FOCUSED))
        beeps = lambda: d.find_element(By.TAG_NAME, "body").get_attribute("data-beeps")
        # Each scan starts the unit in focus and moves the focus to the next idle one.
        for k in range(units):
            assert focused() == ("unit-%d" % k, "serial", ""), k
            typed("L-%d" % k)
            if k < units - 1:
                ln.until(lambda d: focused()[0] == "unit-%d" % (k + 1))
        for k in range(units):
            ln.running(k)
        # All busy: refused where it was scanned, seen and heard, the serial kept.
        typed("L-X")
        ln.until(lambda d: "All units are testing" in d.find_element(By.ID, "notice").text)
        assert focused() == ("unit-%d" % (units - 1), "serial", "L-X") and beeps() == "1"
        # Stop: the focus goes back to a scan field.
        ln.panel(2).find_element(By.CLASS_NAME, "stop").click()
        assert focused()[:2] == ("unit-2", "serial")
        assert ln.verdict(2) == "ERROR"
        # A busy unit: refused, the serial kept in the idle unit's field.
        ln.panel(0).find_element(By.CSS_SELECTOR, "input.serial").click()
        typed("L-Y")
        ln.until(lambda d: "still testing L-0" in ln.panel(0).text)
        assert focused() == ("unit-2", "serial", "L-Y") and beeps() == "2"
        verdicts = [ln.verdict(k) for k in range(units)]
        assert verdicts == ["PASS", "FAIL", "ERROR"] + ["PASS"] * (units - 3)
        # The failing step, its figure rounded with its limit, before anything else.
        failing = ln.panel(1).find_element(By.CLASS_NAME, "failing").text
        assert re.match(r"line 4 rx .*: count \d+ below 700$", failing), failing
        for w, h in ((1366, 768), (1920, 1080)):
            # The screen's size exactly (a window's size counts its frame).
            d.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                              {"width": w, "height": h, "deviceScaleFactor": 1, "mobile": False})
            ln.until(lambda d: d.execute_script("return innerWidth") == w)
            vw, vh, boxes = d.execute_script(VERDICT_BOXES)
            assert vh == h and {b[-1] for b in boxes} == {"PASS", "FAIL", "ERROR"}, (vh, boxes)
            for pid, left, top, right, bottom, share, fg, bg, text in boxes:
                assert text in ("PASS", "FAIL", "ERROR"), (pid, text)
                assert 0 <= left and 0 <= top and right <= vw and bottom <= vh, (w, pid, top, bottom)
                assert share >= 0.3, (w, pid, share)  # the verdict fills its panel
                assert contrast(fg, bg) >= 4.5, (pid, text, fg, bg)
            ln.shot("units%d-%dx%d" % (units, w, h))
        # Every verdict was on screen: PASS, FAIL and ERROR were all checked.
        # A retest (the kept serial replaced by the next scan) says so, with
        # the earlier verdict.
        typed("L-1")
        ln.until(lambda d: ln.panel(2).get_attribute("data-attempt") == "2")
        assert ln.verdict(2) == "PASS"
        assert "attempt 2" in ln.panel(2).text and "(earlier FAIL)" in ln.panel(2).text
        assert [r[:2] for r in records(ln.db)].count(("L-1", "FAIL")) == 1
    finally:
        ln.down()
