"""rfprobe report --html: the page in Debian's Chromium (headless, through
selenium and chromium-driver), its numbers against the store's, its charts,
hostile text from records, bad input, and the same bytes from SQLite and
PostgreSQL.

The store is written by bench's report-mkstore through the results library
(a line's records over a clock change in Europe/Berlin); the expected
figures are computed here from the store's tables with Python's sqlite3.
The screenshot is kept as RFPROBE_BUILD/artifacts/report.png.
"""
import math
import os
import re
import shutil
import sqlite3
import stat
import statistics
import subprocess
import sys
import zoneinfo
from collections import Counter, defaultdict
from datetime import datetime, timezone

import pytest

from conftest import BUILD, not_on_vm

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import pgserver  # noqa: E402

RFPROBE = os.path.join(BUILD, "tools", "rfprobe")
MKSTORE = os.path.join(BUILD, "bench", "report-mkstore")
ZONE = "Europe/Berlin"
HOSTILE_OPERATOR = '<script>document.title="pwned"</script>'
HOSTILE_FIXTURE = "<img src=x onerror=alert(1)>"
HOSTILE_NAME = "<script>m</script>"
HOSTILE_PLAN = "<b>smoke</b>.plan"

pytestmark = not_on_vm("the report reads a store on the PC; no router is involved")


def run(*args, check=True):
    r = subprocess.run(list(args), capture_output=True, text=True, timeout=120)
    if check:
        assert r.returncode == 0, r.stderr
    return r


def make_store(path, records=400, seed=7):
    for tool in (RFPROBE, MKSTORE):
        assert os.access(tool, os.X_OK), "not built: " + tool
    run(MKSTORE, "--store", path, "--records", str(records), "--days", "3", "--start", "2024-03-29",
        "--seed", str(seed), "--fast")
    return path


def add_hostile_text(path):
    """Text a page must show as text: free text from records, and names an
    older or foreign writer could have stored without our checks."""
    c = sqlite3.connect(path)
    c.execute("UPDATE records SET operator = ? WHERE rowid % 9 = 0", (HOSTILE_OPERATOR,))
    c.execute("UPDATE record_metadata SET value = ? WHERE key = 'fixture' AND value = 'F-10'", (HOSTILE_FIXTURE,))
    c.execute("UPDATE measurements SET name = ? WHERE name = 'pa2'", (HOSTILE_NAME,))
    c.execute("UPDATE records SET plan_name = ? WHERE plan_name = 'smoke.plan'", (HOSTILE_PLAN,))
    c.commit()
    c.close()


def assert_no_markup_from_records(page, texts):
    """The page's source holds text from records only escaped: a cell
    written raw shows nothing wrong in the rendered body when the same text
    is escaped elsewhere on the page."""
    source = open(page, encoding="utf-8").read()
    for text in texts:
        assert text not in source, "left as markup: " + text


def utc(text):
    return datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=timezone.utc)


def berlin_day(text):
    return utc(text).astimezone(zoneinfo.ZoneInfo(ZONE)).strftime("%Y-%m-%d")


def expected(path):
    """The figures the page must show, from the store's tables."""
    c = sqlite3.connect(path)
    recs = c.execute("SELECT record_id, serial, station, plan_name, started_at, ended_at, verdict"
                     " FROM records ORDER BY started_at, record_id").fetchall()
    order = {r[0]: i for i, r in enumerate(recs)}
    first, last = {}, {}
    for r in recs:
        first.setdefault(r[1], r[6])
        last[r[1]] = r[6]
    e = dict(records=len(recs), units=len(first),
             fpy=sum(v == "PASS" for v in first.values()) / len(first),
             final=sum(v == "PASS" for v in last.values()) / len(last),
             retests=len(recs) - len(first),
             days=Counter(berlin_day(r[4]) for r in recs),
             days_pass=Counter(berlin_day(r[4]) for r in recs if r[6] == "PASS"))
    series = defaultdict(list)
    rows = c.execute("SELECT m.record_id, m.step_index, m.measurement_index, st.line, st.command, m.name,"
                     " m.value, m.low, m.high FROM measurements m JOIN steps st"
                     " ON st.record_id = m.record_id AND st.step_index = m.step_index").fetchall()
    rows.sort(key=lambda m: (order[m[0]], m[1], m[2]))
    plan_of = {r[0]: r[3] for r in recs}
    for m in rows:
        series[(plan_of[m[0]], m[3], m[4], m[5])].append((m[6], m[7], m[8]))
    e["series"] = series
    # Failures by measurement: a step's FAIL measurements, or the step
    # itself when it failed without one.
    fails = Counter()
    culprits = defaultdict(list)
    for rid, si, name in c.execute("SELECT record_id, step_index, name FROM measurements WHERE verdict = 'FAIL'"):
        culprits[(rid, si)].append(name)
    for rid, si, line, cmd in c.execute("SELECT record_id, step_index, line, command FROM steps"
                                        " WHERE verdict <> 'PASS'"):
        step = "%s \u00b7 line %d \u00b7 %s" % (plan_of[rid], line, cmd)
        for name in culprits.get((rid, si)) or [None]:
            fails[step if name is None else step + " \u00b7 " + name] += 1
    e["pareto"] = fails
    c.close()
    return e


def bins(values):
    """The documented binning (tools/report/stats.h): Sturges' count, whole
    numbers with whole widths and edges at halves."""
    n, lo, hi = len(values), min(values), max(values)
    k = min(40, 1 + math.ceil(math.log2(n)))
    if lo == hi:
        return 1
    if all(float(v).is_integer() for v in values):
        width = math.ceil((hi - lo + 1) / k)
        return math.ceil((hi - lo + 1) / width)
    return k


@pytest.fixture(scope="module")
def browser():
    try:
        import selenium  # noqa: F401
    except ImportError:
        pytest.fail("python3-selenium is missing (scripts/test installs it with chromium and chromium-driver)")
    from chrome import Browser
    b = Browser(1400, 1000, {"goog:loggingPrefs": {"browser": "ALL", "performance": "ALL"}})
    try:
        yield b.driver
    finally:
        b.quit()


def load(driver, path):
    """Opens the page; returns the URLs it requested and its console messages."""
    import json
    driver.get_log("performance")
    driver.get_log("browser")
    url = "file://" + path
    driver.get(url)
    requests = [json.loads(e["message"])["message"] for e in driver.get_log("performance")]
    # The browser's own pages (chrome://, its start page's icons) may still
    # be loading when the log is read: not the page's requests.
    requested = [m["params"]["request"]["url"] for m in requests if m["method"] == "Network.requestWillBeSent"
                 and not m["params"]["request"]["url"].startswith("chrome://")]
    return url, requested, driver.get_log("browser")


def figure(text):
    """A figure as the page shows it ("998.7", "7.84 dBm"): its number and
    half the step it was rounded to."""
    number = text.split()[0]
    decimals = len(number.split(".")[1]) if "." in number else 0
    return float(number), 0.5 * 10 ** -decimals


def attrs(el, *names):
    return [el.get_attribute(n) for n in names]


def test_page_in_chromium_shows_the_store(browser, tmp_path):
    from selenium.webdriver.common.by import By
    db = make_store(str(tmp_path / "line.db"))
    add_hostile_text(db)
    page = str(tmp_path / "report.html")
    r = run(RFPROBE, "report", "--store", db, "--html", page, "--tz", ZONE)
    assert "400 record(s)" in r.stderr and page in r.stderr
    exp = expected(db)

    url, requested, console = load(browser, page)
    # Loads without a console error and fetches nothing but itself.
    assert [m for m in console if m["level"] in ("SEVERE", "WARNING")] == []
    assert requested == [url]
    assert browser.execute_script("return performance.getEntriesByType('resource').length") == 0
    # Hostile text shows as text, runs nothing, loads nothing.
    assert browser.title == "rfprobe report"
    assert browser.execute_script("return document.scripts.length + document.images.length") == 0
    body = browser.execute_script("return document.body.textContent")  # the collapsed appendix too
    for text in (HOSTILE_OPERATOR, HOSTILE_FIXTURE, HOSTILE_NAME, HOSTILE_PLAN):
        assert text in body
    assert_no_markup_from_records(page, (HOSTILE_OPERATOR, HOSTILE_FIXTURE, HOSTILE_NAME, HOSTILE_PLAN))

    # Yield figures.
    kpi = lambda i: browser.find_element(By.ID, i)
    assert kpi("k-records").get_attribute("data-value") == str(exp["records"])
    assert kpi("k-units").get_attribute("data-value") == str(exp["units"])
    assert kpi("k-retests").get_attribute("data-value") == str(exp["retests"])
    for key, i in (("fpy", "k-fpy"), ("final", "k-final")):
        assert float(kpi(i).get_attribute("data-value")) == pytest.approx(exp[key], rel=1e-12)
        assert kpi(i).text.split("\n")[0] == "%.1f%%" % (100 * exp[key])
    assert exp["fpy"] < exp["final"]  # the retests passed some units
    assert "Europe/Berlin" in kpi("zone").text

    # Records per day in Berlin: the clock change of 2024-03-31 included.
    days = browser.find_elements(By.CSS_SELECTOR, "#days-all g.day")
    shown = {d.get_attribute("data-day"): (int(d.get_attribute("data-records")), int(d.get_attribute("data-pass")))
             for d in days}
    assert shown == {d: (n, exp["days_pass"][d]) for d, n in exp["days"].items()}
    for d in days:  # each day is drawn: bars with height
        assert sum(float(b.get_attribute("height")) for b in d.find_elements(By.TAG_NAME, "rect")) > 0

    # The Pareto table: most frequent first, cumulative share to 100 %.
    rows = browser.find_elements(By.CSS_SELECTOR, "#t-pareto tr")[1:]
    got = [(c[0].text, int(c[1].text) + int(c[2].text), c[4].text)
           for c in (r.find_elements(By.TAG_NAME, "td") for r in rows)]
    assert sorted(exp["pareto"].items(), key=lambda kv: (-kv[1], kv[0].encode())) == [(g[0], g[1]) for g in got]
    assert got[-1][2] == "100.0%"
    assert len(browser.find_elements(By.CSS_SELECTOR, "svg.pareto g.item")) == min(20, len(got))

    # Per measurement with limits: figures, bins, limit lines, run chart.
    # (The hostile name is no declared measurement: bookkeeping.)
    divs = browser.find_elements(By.CSS_SELECTOR, "div.measurement")
    assert len(divs) == len([k for k in exp["series"] if k[3] in ("count", "pa1", "pa2")])
    for div in divs:
        plan, line, command, name = attrs(div, "data-plan", "data-line", "data-command", "data-name")
        rows = exp["series"][(plan, int(line), command, name)]
        values = [v for v, _, _ in rows]
        low, high = rows[-1][1], rows[-1][2]
        mean, sigma = statistics.fmean(values), statistics.stdev(values)
        assert int(div.get_attribute("data-n")) == len(values)
        assert float(div.get_attribute("data-mean")) == pytest.approx(mean, rel=1e-12)
        assert float(div.get_attribute("data-sigma")) == pytest.approx(sigma, rel=1e-9)
        cells = [c.text for c in div.find_elements(By.CSS_SELECTOR, "table.stats td")]
        assert int(cells[0]) == len(values)
        for cell, exact in ((cells[1], mean), (cells[2], sigma)):
            shown, half = figure(cell)
            assert abs(shown - exact) <= half * (1 + 1e-9), (cell, exact)
        margins = [m for m in ((high - mean) if high is not None else None,
                               (mean - low) if low is not None else None) if m is not None]
        cpk_cell = div.find_element(By.CSS_SELECTOR, "td.cpk")
        if margins:
            cpk = min(margins) / (3 * sigma)
            assert float(cpk_cell.text) == pytest.approx(cpk, abs=0.005)
            assert ("low" in cpk_cell.get_attribute("class").split()) == (cpk < 1.33)
        else:
            assert cpk_cell.text == "\u2014"

        bars = div.find_elements(By.CSS_SELECTOR, "svg.histogram rect.bin")
        assert len(bars) == bins(values)
        edges = [(float(b.get_attribute("data-lo")), float(b.get_attribute("data-hi"))) for b in bars]
        for i, (b, (lo, hi)) in enumerate(zip(bars, edges)):
            last = i == len(bars) - 1
            n = sum(lo <= v < hi or (last and v == hi) for v in values)
            assert int(b.get_attribute("data-n")) == n
        # Bar heights follow the counts.
        ratio = {round(float(b.get_attribute("height")) / int(b.get_attribute("data-n")), 1)
                 for b in bars if int(b.get_attribute("data-n")) > 10}
        assert max(ratio) - min(ratio) <= 0.1, ratio
        # Limit lines where the limits are, on the bars' own scale.
        x0, x1 = float(bars[0].get_attribute("x")), float(bars[-1].get_attribute("x"))
        e0, e1 = edges[0][0], edges[-1][0]
        limits = {l.get_attribute("data-limit"): l for l in div.find_elements(By.CSS_SELECTOR, "svg.histogram line.limit")}
        assert set(limits) == {k for k, v in (("low", low), ("high", high)) if v is not None}
        for kind, value in (("low", low), ("high", high)):
            if value is None:
                continue
            line_el = limits[kind]
            assert float(line_el.get_attribute("data-value")) == value
            assert float(line_el.get_attribute("x1")) == pytest.approx(x0 + (value - e0) * (x1 - x0) / (e1 - e0), abs=0.2)
            # ... and drawn there by the browser, across the chart.
            where = line_el.parent.execute_script(
                "const r = arguments[0].getBoundingClientRect(), svg = arguments[0].ownerSVGElement,"
                " s = svg.getBoundingClientRect(), k = svg.viewBox.baseVal.width / s.width;"
                " return [(r.left + r.width / 2 - s.left) * k, r.height * k];", line_el)
            assert where[0] == pytest.approx(float(line_el.get_attribute("x1")), abs=1.5) and where[1] > 100
        run_line = div.find_element(By.CSS_SELECTOR, "svg.run polyline.mean")
        assert int(run_line.get_attribute("data-points")) == min(60, len(values))
        assert len(div.find_elements(By.CSS_SELECTOR, "svg.run line.limit")) == len(limits)

    # Cycle time per plan: every record counted.
    cycle = browser.find_elements(By.CSS_SELECTOR, "#t-cycle tr")[1:]
    assert sum(int(r.find_elements(By.TAG_NAME, "td")[1].text) for r in cycle) == exp["records"]
    assert len(browser.find_elements(By.CSS_SELECTOR, "div.cycle svg.histogram")) == 2

    art = os.path.join(BUILD, "artifacts")
    os.makedirs(art, exist_ok=True)
    height = browser.execute_script("return document.documentElement.scrollHeight")
    browser.set_window_size(1400, min(height + 40, 8000))
    assert browser.save_screenshot(os.path.join(art, "report.png"))
    browser.set_window_size(1400, 1000)

    # An empty selection: a page that says so.
    empty = str(tmp_path / "empty.html")
    r = run(RFPROBE, "report", "--store", db, "--html", empty, "--serial", "NOSUCH")
    assert "no records match" in r.stderr
    _, requested, console = load(browser, empty)
    assert console == [] and len(requested) == 1
    assert browser.find_element(By.ID, "empty").text == "No records match these filters."


# The calibration line's store: 40 records of 4 units (line-cal.plan, and
# line-tester.plan every fifth round) with a weak receiver, a bad crystal,
# a broken PA and retests, written through the results library.
FLAGS = {"determined", "bounds", "defined", "monotonic"}
ELEMENTS_OUTSIDE = """
const vw = document.documentElement.clientWidth, out = [];
for (const e of document.querySelectorAll('body *')) {
  if (e.parentElement.closest('.scroll')) continue;  // a table that scrolls on its own
  const r = e.getBoundingClientRect();
  if (r.width && (r.right > vw + 0.5 || r.left < -0.5))
    out.push(e.tagName + '#' + e.id + '.' + (e.getAttribute('class') || '') + ' ' + r.left + '..' + r.right);
}
return [vw, document.documentElement.scrollWidth, out];
"""
TEXT_OUTSIDE_SVG = """
const out = [];
for (const t of document.querySelectorAll('svg text')) {
  const vb = t.ownerSVGElement.viewBox.baseVal, b = t.getBBox();
  if (b.x < vb.x - 0.5 || b.y < vb.y - 0.5 || b.x + b.width > vb.x + vb.width + 0.5 ||
      b.y + b.height > vb.y + vb.height + 0.5)
    out.push(t.ownerSVGElement.getAttribute('class') + ': ' + t.textContent);
}
return out;
"""


def cal_line_store(path):
    run(MKSTORE, "--store", path, "--records", "40", "--days", "1", "--start", "2026-12-07", "--seed", "3",
        "--line", "cal", "--fast")
    c = sqlite3.connect(path)
    c.execute("UPDATE records SET plan_name = ? WHERE plan_name = 'line-tester.plan'", (HOSTILE_PLAN,))
    c.execute("UPDATE records SET station = ? WHERE station = 'cal1-bay2'", (HOSTILE_NAME,))
    c.execute("UPDATE records SET operator = ? WHERE rowid % 7 = 0", ("Maximiliane-" * 40,))
    c.commit()
    c.close()
    return path


@pytest.mark.parametrize("width,height", [(1366, 768), (390, 844)])
def test_calibration_line_page_reads_in_a_minute(tmp_path, width, height):
    from selenium.webdriver.common.by import By
    from chrome import Browser
    db = cal_line_store(str(tmp_path / "cal.db"))
    page = str(tmp_path / "report.html")
    run(RFPROBE, "report", "--store", db, "--html", page, "--tz", ZONE)
    assert os.path.getsize(page) <= 300 * 1024
    assert_no_markup_from_records(page, (HOSTILE_PLAN, HOSTILE_NAME))
    source = open(page, encoding="utf-8").read()
    # One time zone, named once: no UTC times left.
    assert "(UTC)" not in source and not re.search(r"\d\d:\d\dZ", source)

    b = Browser(1400, 1000)
    try:
        d = b.driver
        # Headless windows have a minimum width; a phone's is emulated.
        d.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                          {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 800})
        d.get("file://" + page)
        art = os.path.join(BUILD, "artifacts")
        os.makedirs(art, exist_ok=True)
        assert d.save_screenshot(os.path.join(art, "report-cal-%d.png" % width))

        vw, scroll_width, wide = d.execute_script(ELEMENTS_OUTSIDE)
        assert width - 20 <= vw <= width and scroll_width <= vw and wide == []
        assert d.execute_script(TEXT_OUTSIDE_SVG) == []

        # Every chart names its axes; histograms count in whole numbers.
        for svg in d.find_elements(By.CSS_SELECTOR, "svg.chart"):
            titles = svg.find_elements(By.CSS_SELECTOR, "text.axis-title")
            assert len(titles) >= (1 if "pareto" in svg.get_attribute("class") else 2), svg.get_attribute("class")
        for tick in d.find_elements(By.CSS_SELECTOR, "svg.histogram line.grid + text.tick"):
            assert float(tick.get_attribute("textContent")).is_integer()

        # No Cpk on a flag: the checks are pass rates.
        assert d.find_elements(By.CSS_SELECTOR, "#t-flags td.cpk") == []
        flags = [r.find_elements(By.TAG_NAME, "td")[0].get_attribute("textContent").split(" \u00b7 ")[-1]
                 for r in d.find_elements(By.CSS_SELECTOR, "#t-flags tr.flag")]
        assert set(flags) >= {"bounds", "determined", "monotonic"} and set(flags) <= FLAGS
        for el in d.find_elements(By.CSS_SELECTOR, "[data-cpk]"):
            assert el.get_attribute("data-name") not in FLAGS

        if width == 1366:
            # The first screen: yield figures and the top failures, FAIL and
            # ERROR apart, each a link to its section.
            for i in ("k-yield", "k-fpy", "k-units", "t-top-failures", "t-worst-cpk", "t-cal-summary"):
                r = d.execute_script("return arguments[0].getBoundingClientRect()", d.find_element(By.ID, i))
                assert r["bottom"] <= height, i
            top = d.find_elements(By.CSS_SELECTOR, "#t-top-failures tr")[1:]
            pareto = d.find_elements(By.CSS_SELECTOR, "#t-pareto tr")[1:]
            assert len(top) == min(5, len(pareto))
            for t, p in zip(top, pareto):
                assert [c.text for c in t.find_elements(By.TAG_NAME, "td")] == \
                    [c.text for c in p.find_elements(By.TAG_NAME, "td")][:3]
                anchor = t.find_element(By.TAG_NAME, "a").get_attribute("href").split("#")[1]
                assert d.find_elements(By.ID, anchor)
            assert any(" \u00b7 " in t.text and t.text.count(" \u00b7 ") == 3 for t in top)  # step · measurement
            height_all = d.execute_script("return document.documentElement.scrollHeight")
            d.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                              {"width": width, "height": min(height_all, 12000), "deviceScaleFactor": 1,
                               "mobile": False})
            assert d.save_screenshot(os.path.join(art, "report-cal-%d-full.png" % width))
    finally:
        b.quit()


def test_days_and_filters_in_a_time_zone(tmp_path):
    db = make_store(str(tmp_path / "line.db"))
    exp = expected(db)
    text = run(RFPROBE, "report", "--store", db, "--tz", ZONE).stdout.splitlines()
    assert text[0] == "Yield per plan and day (Europe/Berlin)"
    per_day = Counter()
    for l in text[2:]:
        if not l:
            break
        per_day[l.split()[1]] += int(l.split()[2])
    assert per_day == exp["days"]
    # --since/--until name days of that zone: the short day of the clock change.
    page = run(RFPROBE, "report", "--store", db, "--tz", ZONE, "--since", "2024-03-31", "--until", "2024-03-31",
               "--html", "-").stdout
    assert 'id="k-records" data-value="%d"' % exp["days"]["2024-03-31"] in page
    assert run(RFPROBE, "report", "--store", db, "--tz", "UTC").stdout.startswith("Yield per plan and day (UTC)\n")


@pytest.mark.parametrize("case", ["empty store", "no such store", "not a store", "unwritable path",
                                  "unknown zone", "csv and html", "a device"])
def test_bad_input_leaves_no_partial_file(tmp_path, case):
    db = str(tmp_path / "line.db")
    out = tmp_path / "out" / "report.html"
    out.parent.mkdir()
    out.write_text("the previous report\n")
    args = ["--store", db, "--html", str(out)]
    if case == "empty store":
        make_store(db, records=0)
    elif case == "not a store":
        open(db, "w").write("not a database\n" * 100)
    elif case == "unwritable path":
        make_store(db, records=10)
        args[3] = str(tmp_path / "no-such-dir" / "report.html")
    elif case == "unknown zone":
        make_store(db, records=10)
        args += ["--tz", "Mars/Olympus_Mons"]
    elif case == "csv and html":
        make_store(db, records=10)
        args += ["--csv", str(tmp_path / "x.csv")]
    elif case == "a device":  # written to, never replaced by a file
        make_store(db, records=10)
        args[3] = "/dev/null"
    r = run(RFPROBE, "report", *args, check=False)
    want = {"empty store": 0, "no such store": 5, "not a store": 5, "unwritable path": 2,
            "unknown zone": 2, "csv and html": 2, "a device": 0}[case]
    assert r.returncode == want, r.stderr
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert sorted(os.listdir(out.parent)) == ["report.html"]  # no temporary file left
    if case == "empty store":
        assert "The store holds no records yet." in out.read_text()
    else:
        assert out.read_text() == "the previous report\n"
        assert r.stderr.startswith("rfprobe: report: ") and len(r.stderr.splitlines()) == 1, r.stderr


def test_same_bytes_from_sqlite_and_postgresql(tmp_path):
    why = pgserver.unavailable()
    if why:
        pytest.skip(why)
    db = make_store(str(tmp_path / "line.db"), records=300, seed=11)
    # The records go to the server through a spool, as a station's would
    # (a copy: sync prunes what it uploaded from the spool).
    spool = str(tmp_path / "spool.db")
    shutil.copyfile(db, spool)
    c = sqlite3.connect(spool)
    c.execute("INSERT INTO spool (record_id, spooled_at, reason) SELECT record_id, started_at, 'test' FROM records")
    c.commit()
    c.close()
    with pgserver.PgServer() as pg:
        url = pg.url("line")
        r = run(RFPROBE, "sync", "--store", url, "--spool", spool)
        assert "300 record(s) uploaded" in r.stdout, r.stdout
        pages = [run(RFPROBE, "report", "--store", s, "--tz", ZONE, "--html", "-").stdout for s in (db, url)]
    assert pages[0] == pages[1]
    assert 'data-value="300"' in pages[0]
