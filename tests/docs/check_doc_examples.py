#!/usr/bin/python3
"""Doc tests: the examples in the docs that show a command and its output
are run on the simulated router, and the output must be what the doc shows.

  check_doc_examples.py [--update] [FILE.md ...]

Without files it checks every Markdown file of the repository (the build
trees aside).  --update writes what the commands printed into the docs
instead of comparing (check the diff before committing it).  Needs root;
exits 77 (skipped) without it.

Marking an example
------------------
Put an HTML comment on the line right before a fenced code block:

    <!-- doctest -->
    ```console
    $ rfprobe --iface stn0 set-channel 6
    set-channel: ok
    ```

- A line starting with "$ " is a command (a trailing backslash continues it
  on the next line); the lines after it, up to the next command or the end
  of the block, are what it prints (standard output and standard error
  together; the exit status is not compared).
- The commands of one block run in order in one bash session in the station
  namespace of a fresh rig, with the real agent started in manual mode on
  each simulated router; `rfprobe` is on the PATH and the working directory
  is an empty directory in which sim/plans/ is this repository's.  The
  station's interfaces are stn0, stn1, ...
- Options after "doctest", separated by spaces:
    units=N      N simulated routers (default 1), unit k on interface stnk
    interleaved  lines that several units print at once ("stn0 SN1: ...")
                 are compared unit by unit, in each unit's own order
    mask=REGEX   one more volatile field (Python regex, no spaces): replaced
                 by <MASKED> on both sides before comparing
- Volatile fields are masked on both sides: record ids (UUIDs), dates and
  times, durations ("2.67 s", "12 ms") and the receive counts of the
  simulated radio ("received 4034 frames", "count 4034").  Runs of spaces
  count as one, so a masked value may change a column's width.
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SRC, "sim"))
import simrig  # noqa: E402

MARK = re.compile(r"^<!--\s*doctest:?(\s.*?)?-->\s*$")
FENCE = re.compile(r"^(```+|~~~+)")
MASKS = [
    (re.compile(r"\b[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\b"), "<ID>"),
    (re.compile(r"\b\d{4}-\d\d-\d\d[T ]\d\d:\d\d:\d\d(\.\d+)?(Z|[+-]\d\d:?\d\d)?"), "<TIME>"),
    (re.compile(r"\b\d{4}-\d\d-\d\d\b"), "<DATE>"),
    (re.compile(r"\b\d\d:\d\d:\d\d\b"), "<TIME>"),
    (re.compile(r"\b\d+(\.\d+)? (s|ms)\b"), "<DURATION>"),
    (re.compile(r"\b(received|count) \d+\b"), r"\1 <COUNT>"),
]
UNIT_LINE = re.compile(r"^(stn\d+) \S+: ")
SEP = "\x1edoctest-command-ended\x1e"


class Example:
    def __init__(self, path, line, opts, start, end, steps):
        self.path, self.line, self.start, self.end, self.steps = path, line, start, end, steps
        self.units, self.interleaved, self.masks = 1, False, []
        opts = opts or ""
        for o in opts.split():
            if o.startswith("units="):
                self.units = int(o[6:])
            elif o == "interleaved":
                self.interleaved = True
            elif o.startswith("mask="):
                self.masks.append(re.compile(o[5:]))
            else:
                raise ValueError("%s:%d: unknown doctest option %r" % (path, line, o))

    def where(self):
        return "%s:%d" % (os.path.relpath(self.path, SRC), self.line)


def examples(path):
    """The marked examples of one file."""
    lines = open(path).read().split("\n")
    out, i = [], 0
    while i < len(lines):
        m = MARK.match(lines[i])
        if not m:
            i += 1
            continue
        f = FENCE.match(lines[i + 1]) if i + 1 < len(lines) else None
        if not f:
            raise ValueError("%s:%d: a doctest mark must stand right before a fenced block" % (path, i + 1))
        j = i + 2
        while j < len(lines) and not lines[j].startswith(f.group(1)):
            j += 1
        body = lines[i + 2:j]
        steps, k = [], 0
        while k < len(body):
            if not body[k].startswith("$ "):
                raise ValueError("%s:%d: output before the first command" % (path, i + 3 + k))
            cmd = body[k][2:]
            while cmd.endswith("\\") and k + 1 < len(body):
                k += 1
                cmd = cmd[:-1] + "\n" + body[k]
            k += 1
            expect = []
            while k < len(body) and not body[k].startswith("$ "):
                expect.append(body[k])
                k += 1
            steps.append((cmd, expect))
        if not steps:
            raise ValueError("%s:%d: a doctest block without a command" % (path, i + 1))
        out.append(Example(path, i + 1, m.group(1), i + 2, j, steps))
        i = j + 1
    return out


def run(ex, build):
    """What each command of the example printed, as lists of lines."""
    rig = simrig.MultiRig(ex.units, build).up()
    work = tempfile.mkdtemp(prefix="rfprobe-doctest-")
    try:
        rig.start_agents(manual=True)
        os.mkdir(os.path.join(work, "sim"))
        os.symlink(os.path.join(SRC, "sim", "plans"), os.path.join(work, "sim", "plans"))
        script = "".join("%s\nprintf '%%s\\n' '%s'\n" % (cmd, SEP) for cmd, _ in ex.steps)
        env = dict(os.environ, PATH=rig.units[0].tools_dir + ":" + os.environ.get("PATH", ""),
                   LANG="C", TZ="UTC")
        for v in ("RFPROBE_STATION", "RFPROBE_OPERATOR", "RFPROBE_STORE"):
            env.pop(v, None)
        r = subprocess.run(["ip", "netns", "exec", rig.station_ns, "bash", "-c", "exec 2>&1\n" + script],
                           cwd=work, env=env, stdout=subprocess.PIPE, text=True, timeout=300)
        parts = r.stdout.split(SEP + "\n")
        return [p.split("\n")[:-1] for p in parts[:len(ex.steps)]] + [[]] * (len(ex.steps) - len(parts) + 1)
    finally:
        rig.down()
        subprocess.run(["rm", "-rf", work])


def normal(ex, lines):
    out = []
    for l in lines:
        for rx, rep in MASKS:
            l = rx.sub(rep, l)
        for rx in ex.masks:
            l = rx.sub("<MASKED>", l)
        out.append(re.sub(r"[ \t]+", " ", l).rstrip())
    if ex.interleaved:
        # Within each run of unit lines, each unit's lines in its own order.
        res, run_ = [], []
        for l in out + [None]:
            if l is not None and UNIT_LINE.match(l):
                run_.append(l)
                continue
            res += sorted(run_, key=lambda x: UNIT_LINE.match(x).group(1))
            run_ = []
            if l is not None:
                res.append(l)
        out = res
    return out


def main():
    args = sys.argv[1:]
    update = "--update" in args
    args = [a for a in args if a != "--update"]
    build = os.path.abspath(os.environ.get("RFPROBE_BUILD") or simrig.default_build())
    if os.geteuid() != 0:
        print("skipped: the doc tests need root (network namespaces)")
        return 77
    files = args or sorted(p for p in glob.glob(os.path.join(SRC, "**", "*.md"), recursive=True)
                           if not os.path.relpath(p, SRC).startswith("build"))
    failed = total = 0
    for path in files:
        try:
            exs = examples(path)
        except ValueError as e:
            print("FAIL %s" % e)
            failed += 1
            continue
        edits = []
        for ex in exs:
            total += 1
            got = run(ex, build)
            if update:
                body = []
                for (cmd, _), out in zip(ex.steps, got):
                    body += ["$ " + cmd.replace("\n", "\\\n")] + out
                edits.append((ex.start, ex.end, body))
                continue
            bad = []
            for (cmd, expect), out in zip(ex.steps, got):
                if normal(ex, expect) != normal(ex, out):
                    bad.append("  $ %s\n  --- the doc shows\n%s\n  --- it printed\n%s" % (
                        cmd, "\n".join("  | " + l for l in expect), "\n".join("  | " + l for l in out)))
            if bad:
                failed += 1
                print("FAIL %s: the example's output is not what the commands print:\n%s"
                      % (ex.where(), "\n".join(bad)))
            else:
                print("ok   %s (%d commands)" % (ex.where(), len(ex.steps)))
        if edits:
            lines = open(path).read().split("\n")
            for start, end, body in reversed(edits):
                lines[start:end] = body
            with open(path, "w") as f:
                f.write("\n".join(lines))
            print("updated %s (%d examples)" % (os.path.relpath(path, SRC), len(edits)))
    if total == 0 and not failed:
        print("no marked examples found")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
