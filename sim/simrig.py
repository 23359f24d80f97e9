"""The simulated router: run the real agent binary on a PC.

A rig is two network namespaces joined by a veth pair and a throwaway root
for the agent:

  router namespace rfr-<id>            station namespace rfs-<id>
    eth0 198.18.0.1/24  <--- veth --->   stn0 198.18.0.2/24

In the router namespace a holder process (sleep) keeps a private mount
namespace in which a tmpfs is mounted on <run>/root and filled as the
router's root: /usr and /etc bound read-only from the host, lib, lib64 and
sbin as links into usr, /bin a real directory of links to the host's tools
plus the simulated wl, killall, nvramUpdate and smd and the agent itself,
/proc a plain directory with nvram/ bound from <run>/nvram, /var and /tmp on
tmpfs, /var/sim bound from <run>/sim, a fresh read-only sysfs and /dev.
Processes enter with nsenter and chroot.

Everything the tests read lives in the run directory on the host:
  <run>/sim/         journal, state, nvram store, nvramUpdate.N copies, faults
  <run>/nvram/       IsFactoryTest
  <run>/agent.out, agent.err, smd.log
Anything else in the root (e.g. /var/datafile) is reachable with root_path()
while the rig is up.

With tester=True the station namespace also holds the simulated RF tester
(simtester, a SCPI server on 127.0.0.1:5025 there), one tester port cabled
to each router: port k+1 to unit k, through <run>/sim where the router's
radio keeps its state.  Each unit gets a seed (its PA, crystal, EVM floor
and receiver: <run>/sim/unit) and may get faults (weak-receiver,
bad-crystal, broken-pa); the rig writes the station's fixture file
(fixture.toml in the run directory, $RIG_FIXTURE for station commands)
with the same cable losses the tester applies.  Such a rig's radio counts
only the frames the tester's generator sends (rxrate 0); a rig without a
tester keeps the golden unit that sends rxrate frames a second.

The rig ends only what it started: the processes it spawned (by pid and by
the process group of the agent it leads), and then whatever is left inside
the two namespaces, which exist only for this run.
"""

import itertools
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROUTER_IF = "eth0"
STATION_IF = "stn0"
ROUTER_ADDR = "198.18.0.1/24"
STATION_ADDR = "198.18.0.2/24"
MAX_UNITS = 256
READY_LINE = "Begin to recv msg..."
SIM_TOOLS = ("wl", "killall", "nvramUpdate", "smd")
CLEAN_ENV = {"PATH": "/bin:/sbin", "HOME": "/", "LANG": "C"}
NSENTER = "/usr/bin/nsenter"
CHROOT = "/usr/sbin/chroot"

_counter = itertools.count(1)

TESTER_FAULTS = ("weak-receiver", "bad-crystal", "broken-pa")
TESTER_ADDR, TESTER_PORT = "127.0.0.1", 5025
TESTER_PROFILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "simtester.toml")
# The simulated tester's dialects: its profile and its simtester options.
# A rig's tester=True is "sim"; tester="lab" runs the lab tester's dialect.
TESTER_DIALECTS = {
    "sim": (TESTER_PROFILE, []),
    "lab": (os.path.join(os.path.dirname(os.path.abspath(__file__)), "labtester.toml"),
            ["--dialect", "lab", "--capture-ms", "50"]),
}


def tester_dialect(tester):
    """The dialect a rig's tester argument names (True: "sim"; falsy: None)."""
    if not tester:
        return None
    d = "sim" if tester is True else tester
    if d not in TESTER_DIALECTS:
        raise RigError("unknown tester dialect %r (known: %s)" % (d, ", ".join(sorted(TESTER_DIALECTS))))
    return d
TESTER_FPS = 4000  # the simulated generator's frame rate


def unit_loss(unit):
    """Unit k's fixture cable: (MHz, dB) points.  The tester applies them
    and the fixture file holds the same numbers."""
    d = 0.1 * (unit % 8)
    return [(2412, 1.2 + d), (2484, 1.4 + d), (5180, 2.6 + d), (5825, 3.1 + d)]


def unit_seed(unit, base=1000):
    return base + unit


def write_unit_file(sim_dir, seed, faults):
    bad = [f for f in faults if f not in TESTER_FAULTS]
    if bad:
        raise RigError("unknown unit fault %s (known: %s)" % (", ".join(bad), ", ".join(TESTER_FAULTS)))
    with open(os.path.join(sim_dir, "unit"), "w") as f:
        f.write("seed %d\n" % seed + "".join("fault %s\n" % x for x in faults))


def write_fixture(path, units, dialect="sim"):
    """The station's fixture file: units is a list of (iface, tester port,
    loss points); the profile is the dialect's."""
    lines = ["# Written by the rig: the simulated tester and the units' cables.",
             "[tester]",
             'resource = "TCPIP::%s::%d::SOCKET"' % (TESTER_ADDR, TESTER_PORT),
             'profile = "%s"' % TESTER_DIALECTS[dialect][0], ""]
    for iface, port, loss in units:
        lines += ["[units.%s]" % iface, "port = %d" % port,
                  "loss = [%s]" % ", ".join("[%g, %.2f]" % pt for pt in loss), ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))
    return path


def start_tester(station_ns, sim_bin, ports, seed, log, dialect="sim"):
    """simtester in the station namespace, speaking dialect; ports: {n:
    (sim dir, loss)}.  Returns the process once it listens."""
    argv = ["ip", "netns", "exec", station_ns, os.path.join(sim_bin, "simtester"),
            "--listen", "%s:%d" % (TESTER_ADDR, TESTER_PORT), "--seed", str(seed), "--fps", str(TESTER_FPS)]
    argv += TESTER_DIALECTS[dialect][1]
    for n, (sim_dir, loss) in sorted(ports.items()):
        argv += ["--port", "%d=%s" % (n, sim_dir),
                 "--loss", "%d=%s" % (n, ",".join("%g:%g" % pt for pt in loss))]
    p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, text=True,
                         start_new_session=True)
    line = p.stdout.readline()
    if "listening" not in line:
        p.wait(5)
        raise RigError("simulated tester did not start (status %s)" % p.returncode)
    return p


# Run in the station namespace: sends each command to the tester, prints
# the replies of the queries as a JSON list.
_TESTER_CLIENT = r"""
import json, socket, sys
s = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=float(sys.argv[3]))
f = s.makefile("rb")
out = []
for c in sys.argv[4:]:
    s.sendall(c.encode() + b"\n")
    if c.split()[0].endswith("?"):
        out.append(f.readline().decode(errors="replace").rstrip("\r\n"))
print(json.dumps(out))
"""


def tester_query_in(station, cmds, timeout):
    r = station(sys.executable, "-c", _TESTER_CLIENT, TESTER_ADDR, str(TESTER_PORT), str(timeout), *cmds,
                timeout=timeout + 5)
    if r.returncode != 0:
        raise RigError("tester query failed: " + r.stderr.strip())
    return json.loads(r.stdout)


def unit_truth(sim_bin, sim_dir):
    """What the simulated unit really is (simtester --truth)."""
    r = _run(os.path.join(sim_bin, "simtester"), "--truth", sim_dir)
    t = dict(l.split("=", 1) for l in r.stdout.splitlines() if "=" in l)
    out = {"seed": int(t["seed"]), "faults": t["faults"].split()}
    for k in ("pa0", "pa1"):
        out[k] = [int(x) for x in t[k].split(",")]
    for k in ("crystal_ppm", "evm_floor_db", "sens_offset_db"):
        out[k] = float(t[k])
    return out


def pa_power(coeffs, t):
    """The PA model of sim/pamodel.h: dBm at detector code t."""
    c1, c2, c3 = coeffs
    return (c1 / 64.0 + c2 * t / 524288.0) / (1 + c3 * t / 16777216.0)

# Builds the root inside the holder's fresh mount namespace, then becomes the
# holder.  Arguments: root dir, run dir, sim tools dir, agent binary.
_ROOT_SETUP = r"""
set -e
R=$1 RUN=$2 SIMBIN=$3 AGENT=$4
mount -t tmpfs -o mode=0755,size=64m rfprobe-root "$R"
cd "$R"
mkdir usr etc bin proc var tmp sys dev
ln -s usr/lib lib; ln -s usr/lib64 lib64; ln -s usr/sbin sbin
mount --bind /usr usr; mount -o remount,bind,ro usr
mount --bind /etc etc; mount -o remount,bind,ro etc
ln -s /usr/bin/* bin/
for t in wl killall nvramUpdate smd; do rm -f "bin/$t"; cp "$SIMBIN/$t" bin/; done
if [ -n "$AGENT" ]; then cp "$AGENT" bin/rfprobe-agent; fi
mkdir proc/nvram; mount --bind "$RUN/nvram" proc/nvram
mount -t tmpfs -o mode=0755 rfprobe-var var; mkdir var/run var/sim
mount --bind "$RUN/sim" var/sim
mount -t tmpfs -o mode=1777 rfprobe-tmp tmp
mount -t sysfs -o ro sysfs sys
mount --rbind /dev dev
echo ready
exec sleep infinity
"""


class RigError(RuntimeError):
    pass


# The repository this file lives in, and its usual build tree.
REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def default_build():
    """$RFPROBE_BUILD, else the build tree of the checkout holding this file."""
    return os.environ.get("RFPROBE_BUILD") or os.path.join(REPO_ROOT, "build")


def build_hint(build, targets):
    """How to make the missing `targets` in `build`, or to point at another."""
    return ("build them with: cmake -S %s -B %s && cmake --build %s --target %s"
            " (or give --build DIR / RFPROBE_BUILD=DIR for a build that has them)"
            % (REPO_ROOT, build, build, " ".join(targets)))


def _run(*cmd, check=True, **kw):
    r = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if check and r.returncode != 0:
        raise RigError("%s failed (%d): %s" % (" ".join(cmd), r.returncode, r.stderr.strip()))
    return r


def find_binary(build, name, subdirs):
    """The build's binary `name`: first in the usual places, then anywhere."""
    for sub in subdirs:
        p = os.path.join(build, sub, name)
        if os.path.isfile(p) and os.access(p, os.X_OK):
            return p
    for dirpath, dirnames, filenames in os.walk(build):
        dirnames[:] = [d for d in dirnames if d != "CMakeFiles"]
        if name in filenames and os.access(os.path.join(dirpath, name), os.X_OK):
            return os.path.join(dirpath, name)
    return None


def unit_addresses(unit):
    """Router and station address of unit k of a multi-unit rig: a /24 of
    its own, 198.18.k.1 and 198.18.k.2 (unit 0 has the single rig's)."""
    if not 0 <= unit < MAX_UNITS:
        raise RigError("unit %r out of range 0-%d" % (unit, MAX_UNITS - 1))
    return "198.18.%d.1/24" % unit, "198.18.%d.2/24" % unit


def _add_namespace(ns):
    _run("ip", "netns", "add", ns)
    # No IPv6 chatter on the link; the station takes replies from an
    # address it has no route to, so reverse-path filtering is off.
    _run("ip", "netns", "exec", ns, "sh", "-c",
         "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1"
         " net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0"
         " && ip link set lo up")


class Rig:
    """One simulated router.  With station_ns (see MultiRig) its port joins
    that existing station namespace as stn<unit> instead of making one."""

    def __init__(self, build=None, agent=None, sim_bin=None, tools_dir=None, keep=False,
                 station_ns=None, unit=0, tester=False, seed=None, faults=(), tester_unit=False):
        self.build = os.path.abspath(build or default_build())
        self.agent_bin = agent or find_binary(self.build, "rfprobe-agent", ("src", "src/app"))
        self.sim_bin = sim_bin or os.path.join(self.build, "sim")
        station = find_binary(self.build, "rfprobe", ("tools",))
        self.tools_dir = tools_dir or (os.path.dirname(station) if station else None)
        self.keep = keep
        n = next(_counter)
        self.id = "%d-%d" % (os.getpid(), n)
        self.router_ns = "rfr-" + self.id
        self.station_ns = station_ns or "rfs-" + self.id
        self._own_station_ns = station_ns is None
        self.unit = unit
        self.station_if = "stn%d" % unit
        self.router_addr, self.station_addr = unit_addresses(unit)
        self._tmp_ifs = ("rf%x-%xa" % (os.getpid(), n), "rf%x-%xb" % (os.getpid(), n))
        self.run_dir = None
        self.holder = None
        self.agent = None
        self.smd = None
        self._files = []
        self._made_ns = []
        # tester: this rig runs the simulated tester (a single rig), True
        # or a dialect of TESTER_DIALECTS; tester_unit: a MultiRig's tester
        # measures this unit.
        self.tester = tester
        self.dialect = tester_dialect(tester)
        self.tester_unit = bool(tester) or tester_unit
        self.seed = unit_seed(unit) if seed is None else seed
        self.faults = tuple(faults)
        self.tester_proc = None
        self.fixture = None

    # ----- bring up and tear down -----

    def _check_built(self):
        for t in SIM_TOOLS + (("simtester",) if self.tester else ()):
            if not os.access(os.path.join(self.sim_bin, t), os.X_OK):
                raise RigError("simulated tool %s not built in %s; %s" % (
                    t, self.sim_bin, build_hint(self.build, ["sim_" + x for x in SIM_TOOLS])))

    def up(self, flag="0"):
        self._check_built()
        try:
            self._up(flag)
        except BaseException:
            self.down()
            raise
        return self

    def _up(self, flag):
        self.run_dir = tempfile.mkdtemp(prefix="rfprobe-rig-%s-" % self.id)
        for d in ("root", "sim", "nvram"):
            os.mkdir(os.path.join(self.run_dir, d))
        self.set_flag(flag)

        for ns in (self.router_ns, self.station_ns) if self._own_station_ns else (self.router_ns,):
            _add_namespace(ns)
            self._made_ns.append(ns)
        # The pair is made in the host namespace under names unique to this run
        # and moved at once (made straight inside the namespaces, the station
        # end may never see carrier).  It is down while in the host namespace.
        _run("ip", "link", "add", self._tmp_ifs[0], "type", "veth", "peer", "name", self._tmp_ifs[1])
        _run("ip", "link", "set", self._tmp_ifs[0], "netns", self.router_ns, "name", ROUTER_IF)
        _run("ip", "link", "set", self._tmp_ifs[1], "netns", self.station_ns, "name", self.station_if)
        _run("ip", "-n", self.router_ns, "addr", "add", self.router_addr, "dev", ROUTER_IF)
        _run("ip", "-n", self.station_ns, "addr", "add", self.station_addr, "dev", self.station_if)
        _run("ip", "netns", "exec", self.station_ns, "sysctl", "-qw",
             "net.ipv4.conf.%s.rp_filter=0" % self.station_if)
        _run("ip", "-n", self.router_ns, "link", "set", ROUTER_IF, "up")
        _run("ip", "-n", self.station_ns, "link", "set", self.station_if, "up")

        self.holder = subprocess.Popen(
            ["ip", "netns", "exec", self.router_ns, "unshare", "--mount", "--propagation", "private",
             "sh", "-c", _ROOT_SETUP, "rootsetup", self.root_dir, self.run_dir, self.sim_bin,
             self.agent_bin or ""],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._open("holder.err"),
            text=True, start_new_session=True)
        line = self.holder.stdout.readline()
        if line.strip() != "ready":
            raise RigError("router root setup failed: " + self.read("holder.err"))

        if self.tester_unit:
            self.set_unit(self.seed, self.faults)
            # The golden unit is gone: frames come from the tester.
            self.set_state(rxrate="0")
        if self.tester:
            self.tester_proc = start_tester(self.station_ns, self.sim_bin,
                                            {1: (self.sim_dir, unit_loss(self.unit))}, self.seed,
                                            self._open("tester.err"), self.dialect)
            self.fixture = write_fixture(os.path.join(self.run_dir, "fixture.toml"),
                                         [(self.station_if, 1, unit_loss(self.unit))], self.dialect)

    def down(self):
        """Stop everything this rig started and remove it.  Safe to call twice."""
        if self.agent is not None:
            self._end_group(self.agent)
        for p in (self.tester_proc, self.smd, self.holder):
            if p is not None:
                self._end(p)
        # Whatever still runs in our namespaces was started by this rig.
        for ns in self._made_ns:
            r = _run("ip", "netns", "pids", ns, check=False)
            for pid in r.stdout.split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
        for ns in reversed(self._made_ns):
            _run("ip", "netns", "del", ns, check=False)
        if self._made_ns:
            # Only there if set-up failed between making the pair and moving it.
            _run("ip", "link", "del", self._tmp_ifs[0], check=False)
        self._made_ns = []
        for f in self._files:
            f.close()
        self._files = []
        if self.holder and self.holder.stdout:
            self.holder.stdout.close()
        if self.tester_proc and self.tester_proc.stdout:
            self.tester_proc.stdout.close()
        self.agent = self.smd = self.holder = self.tester_proc = None
        if self.run_dir and not self.keep:
            shutil.rmtree(self.run_dir, ignore_errors=True)

    def __enter__(self):
        return self.up()

    def __exit__(self, *exc):
        self.down()

    @staticmethod
    def _end(p, grace=2.0):
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(grace)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    @staticmethod
    def _end_group(p, grace=2.0):
        # The agent leads its own process group: its shells and wl runs go too.
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(p.pid, sig)
            except ProcessLookupError:
                pass
            try:
                p.wait(grace)
                break
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    # ----- processes inside the router's root -----

    @property
    def root_dir(self):
        return os.path.join(self.run_dir, "root")

    @property
    def sim_dir(self):
        """Where the router's simulated radio keeps its state (host path)."""
        return os.path.join(self.run_dir, "sim")

    def _open(self, name):
        f = open(os.path.join(self.run_dir, name), "wb")
        self._files.append(f)
        return f

    def in_root(self, *cmd, **kw):
        """Popen a command inside the router's root (both namespaces, chroot)."""
        return subprocess.Popen(
            [NSENTER, "-t", str(self.holder.pid), "-m", "-n", "--", CHROOT, self.root_dir] + list(cmd),
            env=CLEAN_ENV, **kw)

    def root_path(self, path):
        """Host path of a file inside the root, while the rig is up."""
        return "/proc/%d/root%s/%s" % (self.holder.pid, self.root_dir, path.lstrip("/"))

    def start_smd(self, *args, timeout=5.0):
        self.smd = self.in_root("/bin/smd", *args, stdin=subprocess.DEVNULL,
                                stdout=self._open("smd.log"), stderr=subprocess.STDOUT)
        self.wait_for("smd.log", "smd: listening", timeout, proc=self.smd)
        return self.smd

    def start_agent(self, manual=True, args=(), wait=True, timeout=15.0):
        """Start the agent with stdout and stderr captured.  With wait, return
        once it captures on its device (or has exited)."""
        if not self.agent_bin:
            raise RigError("no rfprobe-agent in build %s; %s" % (self.build, build_hint(self.build, ["rfprobe-agent"])))
        argv = ["/bin/rfprobe-agent"] + (["-m"] if manual else []) + list(args)
        self.agent = self.in_root(*argv, stdin=subprocess.DEVNULL, stdout=self._open("agent.out"),
                                  stderr=self._open("agent.err"), start_new_session=True)
        if wait:
            self.wait_ready(timeout)
        return self.agent

    def wait_ready(self, timeout=15.0):
        """Wait until the agent captures with its filter installed.  Returns
        False when it exited first."""
        if not self.wait_for("agent.out", READY_LINE, timeout, proc=self.agent, must=False):
            return False
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.agent.poll() is not None:
                return False
            if self._filter_installed():
                return True
            time.sleep(0.02)
        raise RigError("agent did not open its capture within %.0f s:\n%s" % (timeout, self.agent_log()))

    def _filter_installed(self):
        # libpcap first attaches a drop-all filter (one instruction) and then
        # the compiled one; only then is no request lost.
        r = _run(NSENTER, "-t", str(self.holder.pid), "-n", "ss", "-0", "-b", "-n", "-a", check=False)
        return any(int(n) > 1 for n in re.findall(r"bpf filter \((\d+)\)", r.stdout))

    def wait_agent_exit(self, timeout=10.0):
        try:
            return self.agent.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    # ----- the station side -----

    def _station_env(self):
        env = dict(os.environ)
        if self.tools_dir:
            env["PATH"] = self.tools_dir + ":" + env.get("PATH", "")
        env.update(RIG_DIR=self.run_dir, RIG_IFACE=self.station_if)
        if self.fixture:
            env["RIG_FIXTURE"] = self.fixture
        return env

    def station(self, *cmd, timeout=30.0, check=False, input=None):
        """Run a command in the station namespace; returns CompletedProcess."""
        return subprocess.run(["ip", "netns", "exec", self.station_ns] + list(cmd), env=self._station_env(),
                              capture_output=True, text=True, timeout=timeout, check=check,
                              input=input)

    def station_interactive(self, *cmd):
        """Run a command in the station namespace on our terminal; its status."""
        return subprocess.call(["ip", "netns", "exec", self.station_ns] + list(cmd),
                               env=self._station_env())

    def rfprobe(self, *args, timeout=30.0):
        if not self.tools_dir:
            raise RigError("no rfprobe station tool in build %s; %s" % (self.build, build_hint(self.build, ["rfprobe"])))
        return self.station(*self.rfprobe_argv(*args), timeout=timeout)

    # rfprobe's own wait for a reply (it sends again when none came); a
    # --timeout among the arguments comes later and wins.
    reply_timeout_ms = None

    def rfprobe_argv(self, *args):
        wait = ("--timeout", str(self.reply_timeout_ms)) if self.reply_timeout_ms else ()
        return [os.path.join(self.tools_dir, "rfprobe"), "--iface", self.station_if, *wait, *args]

    # ----- the router's processes and root, as a test sees them -----

    def router_procs(self):
        """The router's processes: (pid, ppid, name, command line)."""
        out = []
        for pid in _run("ip", "netns", "pids", self.router_ns, check=False).stdout.split():
            try:
                with open("/proc/%s/stat" % pid) as f:
                    head, _, rest = f.read().rpartition(")")
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    cmd = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
            except OSError:
                continue
            out.append((int(pid), int(rest.split()[1]), head.partition("(")[2], cmd))
        return out

    def proc_threads(self, pid):
        with open("/proc/%d/status" % pid) as f:
            return int(re.search(r"^Threads:\s+(\d+)", f.read(), re.M).group(1))

    def kill_group(self, pgid, sig=signal.SIGKILL):
        """Signal a process group in the router, if it is still there."""
        try:
            os.killpg(pgid, sig)
        except ProcessLookupError:
            pass

    def remove_root_file(self, path):
        os.unlink(self.root_path(path))

    def fill_root_fs(self, path):
        """Append zeros to a file of the root until its file system is full;
        True when a further one-byte file can no longer be written there."""
        fd = os.open(self.root_path(path), os.O_WRONLY | os.O_CREAT | os.O_APPEND)
        try:
            while True:
                os.write(fd, b"\0" * 4096)
        except OSError:
            pass
        finally:
            os.close(fd)
        try:
            with open(self.root_path(os.path.join(os.path.dirname(path), "probe")), "wb", buffering=0) as f:
                f.write(b"x")
        except OSError:
            return True
        return False

    def start_agent_console_closed(self):
        """Start the agent in manual mode with its console on a pipe that is
        closed once its first line has been read; returns that line."""
        self.agent = self.in_root("/bin/rfprobe-agent", "-m", stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        first = self.agent.stdout.readline().decode(errors="replace").rstrip("\r\n")
        self.agent.stdout.close()
        return first

    def router_tx_packets(self):
        """Frames the router's port has sent so far."""
        r = _run("ip", "-n", self.router_ns, "-s", "-j", "link", "show", ROUTER_IF)
        return json.loads(r.stdout)[0]["stats64"]["tx"]["packets"]

    # ----- what happened -----

    def router_rx_packets(self):
        """Frames the router's port has received so far."""
        r = _run("ip", "-n", self.router_ns, "-s", "-j", "link", "show", ROUTER_IF)
        return json.loads(r.stdout)[0]["stats64"]["rx"]["packets"]

    def read(self, name, default=""):
        try:
            with open(os.path.join(self.run_dir, name), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return default

    def agent_log(self):
        return self.read("agent.out")

    def agent_lines(self):
        return [l.rstrip("\r") for l in self.agent_log().split("\n")]

    def journal(self):
        """Every simulated tool run so far, one command line each."""
        return [l for l in self.read("sim/journal").split("\n") if l]

    def state(self):
        return dict(l.split("=", 1) for l in self.read("sim/state").split("\n") if "=" in l)

    def nvram(self):
        return dict(l.split("=", 1) for l in self.read("sim/nvram").split("\n") if "=" in l)

    def flag(self):
        return self.read("nvram/IsFactoryTest")

    def set_flag(self, text):
        with open(os.path.join(self.run_dir, "nvram", "IsFactoryTest"), "w") as f:
            f.write(text if text.endswith("\n") or text == "" else text + "\n")

    def set_flag_writable(self, writable):
        """Make the flag store refuse writes (False) or take them again (True):
        the root's /proc/nvram is remounted read-only or read-write, so that
        `echo 1 > /proc/nvram/IsFactoryTest` runs and fails."""
        mode = "rw" if writable else "ro"
        if self.in_root("/bin/mount", "-o", "remount,bind," + mode, "/proc/nvram").wait() != 0:
            raise RigError("cannot remount /proc/nvram " + mode)

    def set_state(self, **kv):
        """Preset the simulated radio (e.g. up="0", rxrate="0")."""
        st = self.state()
        st.update({k: str(v) for k, v in kv.items()})
        self._write("sim/state", "".join("%s=%s\n" % i for i in sorted(st.items())))

    def set_fault(self, tool, sub="", **kv):
        """Inject a fault: set_fault("wl", "counters", omit="rxdfrmmcast"),
        set_fault("wl", exit=1, once=True).  Values may be lists."""
        lines = []
        for k, v in kv.items():
            for item in (v if isinstance(v, (list, tuple)) else [v]):
                lines.append(k if item is True else "%s %s" % (k, item))
        self._write("sim/fault.%s%s" % (tool, "." + sub if sub else ""), "\n".join(lines) + "\n")

    def clear_fault(self, tool, sub=""):
        try:
            os.unlink(os.path.join(self.run_dir, "sim/fault.%s%s" % (tool, "." + sub if sub else "")))
        except FileNotFoundError:
            pass

    def set_unit(self, seed=None, faults=None):
        """The simulated unit's truth: its seed and faults (see
        TESTER_FAULTS); what the tester measures follows at once."""
        if seed is not None:
            self.seed = seed
        if faults is not None:
            self.faults = tuple(faults)
        write_unit_file(self.sim_dir, self.seed, self.faults)

    def truth(self):
        """What the unit really is: seed, pa0/pa1 true coefficients,
        crystal_ppm, evm_floor_db, sens_offset_db, faults."""
        return unit_truth(self.sim_bin, self.sim_dir)

    def tester_query(self, *cmds, timeout=10.0):
        """Send SCPI commands to the rig's tester from the station
        namespace; the replies of the queries, in order."""
        if not self.tester:
            raise RigError("this rig has no tester")
        return tester_query_in(self.station, cmds, timeout)

    def script_isup(self, *readings):
        """The next `wl isup` runs print these, one each ("-" prints nothing)."""
        self._write("sim/seq.wl.isup", " ".join(str(r) for r in readings) + "\n")

    def _write(self, name, text):
        with open(os.path.join(self.run_dir, name), "w") as f:
            f.write(text)

    def wait_for(self, name, text, timeout=10.0, proc=None, must=True):
        """Poll a captured output file until it contains text."""
        deadline = time.monotonic() + timeout
        while True:
            if text in self.read(name):
                return True
            if proc is not None and proc.poll() is not None:
                if text in self.read(name):
                    return True
                if must:
                    raise RigError("process exited (%s) before %r appeared in %s:\n%s"
                                   % (proc.returncode, text, name, self.read(name)))
                return False
            if time.monotonic() > deadline:
                raise RigError("%r did not appear in %s within %.0f s:\n%s"
                               % (text, name, timeout, self.read(name)))
            time.sleep(0.02)

    def wait_journal(self, line, count=1, timeout=10.0):
        """Poll until the journal holds `line` at least count times."""
        deadline = time.monotonic() + timeout
        while self.journal().count(line) < count:
            if time.monotonic() > deadline:
                raise RigError("journal never got %d x %r" % (count, line))
            time.sleep(0.02)

    # ----- a short account for people -----

    def summary(self):
        """What the simulated router did, in a few lines."""
        st, runs = self.state(), self.journal()
        out = []
        counts = {}
        for line in runs:
            words = line.split()
            key = " ".join(words[:2]) if words[0] == "wl" else words[0]
            counts[key] = counts.get(key, 0) + 1
        out.append("tool runs: %d (%s)" % (len(runs), ", ".join(
            "%s x%d" % kv for kv in sorted(counts.items(), key=lambda kv: -kv[1]))))
        if st:
            qdbm = int(st.get("txpwr_qdbm", "-1"))
            out.append("radio: %s, band %s, channel %s at %s MHz (sideband %s), txchain %s, txant %s, "
                       "rxchain %s, rate %s, power %s" % (
                           "up" if st.get("up") == "1" else "down", st.get("band"), st.get("channel"),
                           st.get("bw"), st.get("sideband"), st.get("txchain"), st.get("txant"),
                           st.get("rxchain"), st.get("rate"),
                           "default" if qdbm < 0 else "%.2f dBm" % (qdbm / 4.0)))
            out.append("packet engine: %s, started %s times; receive counter rxdfrmmcast %s"
                       % ("running (%s)" % st["pkteng"] if st.get("pkteng", "0") != "0" else "stopped",
                          st.get("pkteng_starts", "0"), st.get("rxdfrmmcast")))
            out.append("PA coefficients: " + " ".join(
                "%s=%s" % (n, st[n]) for n in sorted(st) if n.startswith("pa2gw"))
                + ("; detector code %s" % st["txdet"] if "txdet" in st else ""))
            if self.tester_unit:
                out.append("unit: seed %d, faults %s; frames from the tester's generator: %s"
                           % (self.seed, ", ".join(self.faults) or "none", self.read("sim/rxgen", "0").strip()))
            out.append("acsd: %s, ssid %r, calibrations forced: %s" % (
                "running" if st.get("acsd", "1") == "1" else "killed", st.get("ssid"), st.get("forcecal")))
        nv = self.nvram()
        updates = runs.count("/bin/nvramUpdate /var/datafile")
        out.append("NVRAM: %d update(s)%s" % (updates, "; " + " ".join(
            "%s=%s" % kv for kv in sorted(nv.items())) if nv else ""))
        out.append("factory-test flag: %s" % (self.flag().strip() or "(empty)"))
        return "\n".join(out)


class MultiRig:
    """N simulated routers for a parallel line run.  Each unit is a Rig with
    its own router namespace, root and agent; all their ports lead into one
    station namespace, unit k by a veth pair of its own:

      router rfr-<id k>  eth0 198.18.k.1/24  <--- veth --->  stnk 198.18.k.2/24  station rfs-<id>

    Replies are broadcasts from the same address on every unit, so only the
    interface tells them apart.  down() ends every unit and the station
    namespace; like Rig, only what this rig started."""

    def __init__(self, n, build=None, keep=False, tester=False, seeds=None, faults=None,
                 cable_loss=None, fixture_loss=None):
        """tester: one simulated tester for all units (port k+1 is unit k);
        seeds: a seed per unit (default 1000+k); faults: {unit: [names]};
        cable_loss: {unit: (MHz, dB) points}, the cable's true loss the
        tester applies, and fixture_loss the same for what the station's
        fixture file says (both default to unit_loss(k))."""
        if not 1 <= n <= MAX_UNITS:
            raise RigError("a multi-unit rig has 1 to %d units, not %r" % (MAX_UNITS, n))
        self.n = n
        self.build = build
        self.keep = keep
        self.tester = tester
        self.dialect = tester_dialect(tester)
        self.seeds = list(seeds) if seeds is not None else [unit_seed(k) for k in range(n)]
        self.unit_faults = dict(faults or {})
        self.cable_loss = dict(cable_loss or {})
        self.fixture_loss = dict(fixture_loss or {})
        self.tester_proc = None
        self._tester_log = None
        self.fixture = None
        self.run_dir = None
        self.id = "%d-m%d" % (os.getpid(), next(_counter))
        self.station_ns = "rfs-" + self.id
        self.units = []
        self._made_ns = False

    def up(self, flag="0"):
        try:
            _add_namespace(self.station_ns)
            self._made_ns = True
            for k in range(self.n):
                self.units.append(Rig(self.build, keep=self.keep, station_ns=self.station_ns, unit=k,
                                      tester_unit=self.tester, seed=self.seeds[k],
                                      faults=self.unit_faults.get(k, ())))
                self.units[-1].up(flag)
            if self.tester:
                self.run_dir = tempfile.mkdtemp(prefix="rfprobe-multirig-%s-" % self.id)
                self._tester_log = open(os.path.join(self.run_dir, "tester.err"), "wb")
                sim_bin = self.units[0].sim_bin
                if not os.access(os.path.join(sim_bin, "simtester"), os.X_OK):
                    raise RigError("simulated tester not built in %s" % sim_bin)
                self.tester_proc = start_tester(
                    self.station_ns, sim_bin,
                    {k + 1: (u.sim_dir, self.cable_loss.get(k, unit_loss(k))) for k, u in enumerate(self.units)},
                    self.seeds[0], self._tester_log, self.dialect)
                self.fixture = write_fixture(
                    os.path.join(self.run_dir, "fixture.toml"),
                    [(u.station_if, k + 1, self.fixture_loss.get(k, unit_loss(k)))
                     for k, u in enumerate(self.units)], self.dialect)
        except BaseException:
            self.down()
            raise
        return self

    def down(self):
        """Safe to call twice."""
        if self.tester_proc is not None:
            Rig._end(self.tester_proc)
            self.tester_proc.stdout.close()
            self.tester_proc = None
        if self._tester_log is not None:
            self._tester_log.close()
            self._tester_log = None
        for u in reversed(self.units):
            u.down()
        self.units = []
        if self.run_dir and not self.keep:
            shutil.rmtree(self.run_dir, ignore_errors=True)
        self.run_dir = None
        if self._made_ns:
            r = _run("ip", "netns", "pids", self.station_ns, check=False)
            for pid in r.stdout.split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            _run("ip", "netns", "del", self.station_ns, check=False)
            self._made_ns = False

    def __enter__(self):
        return self.up()

    def __exit__(self, *exc):
        self.down()

    def start_agents(self, manual=True, **kw):
        for u in self.units:
            u.start_agent(manual=manual, **kw)

    @property
    def ifaces(self):
        return [u.station_if for u in self.units]

    def station(self, *cmd, timeout=30.0, check=False, input=None):
        """Run a command in the station namespace ($RIG_IFACES lists the
        units' interfaces, in unit order)."""
        env = dict(os.environ)
        tools = self.units[0].tools_dir if self.units else None
        if tools:
            env["PATH"] = tools + ":" + env.get("PATH", "")
        env["RIG_IFACES"] = " ".join(self.ifaces)
        if self.fixture:
            env["RIG_FIXTURE"] = self.fixture
        return subprocess.run(["ip", "netns", "exec", self.station_ns] + list(cmd), env=env,
                              capture_output=True, text=True, timeout=timeout, check=check, input=input)

    def rfprobe(self, unit, *args, timeout=30.0):
        """rfprobe --iface stn<unit> ARGS in the station namespace."""
        return self.units[unit].rfprobe(*args, timeout=timeout)

    def set_cable_drift(self, unit, db):
        """The rig fault cable-drift: unit's cable loses db more than it
        did (0 or None: as it was), from the tester's next measurement."""
        path = os.path.join(self.units[unit].sim_dir, "fault.cable-drift")
        if db:
            with open(path, "w") as f:
                f.write("%g\n" % db)
        elif os.path.exists(path):
            os.unlink(path)

    def make_golden(self, unit, path, serial, channels=(1, 6, 11), powers=(9, 13, 17)):
        """Makes unit a golden unit: its truth (what it sends at each set
        power with the coefficients it holds now, and its sensitivity)
        written to path as the station's reference file."""
        r = _run(os.path.join(self.units[unit].sim_bin, "simtester"), "--golden", self.units[unit].sim_dir,
                 serial, ",".join(str(c) for c in channels), ",".join("%g" % p for p in powers))
        with open(path, "w") as f:
            f.write(r.stdout)
        return path

    def tester_query(self, *cmds, timeout=10.0):
        """SCPI to the shared tester (ROUT:PORT k+1 selects unit k)."""
        if not self.tester:
            raise RigError("this rig has no tester")
        return tester_query_in(self.station, cmds, timeout)


def condense(text, keep=1):
    """Shorten a log for people: a block of one or two lines repeated over
    and over is shown `keep` times and then counted."""
    lines = text.replace("\r", "").rstrip("\n").split("\n")
    out, i = [], 0
    while i < len(lines):
        for period in (1, 2):
            block = lines[i:i + period]
            n = 1
            while lines[i + n * period:i + (n + 1) * period] == block:
                n += 1
            if len(block) == period and n >= 3 and any(block):
                out += block * keep
                out.append("    ... the %s above %d more times" % (
                    "line" if period == 1 else "%d lines" % period, n - keep))
                i += n * period
                break
        else:
            out.append(lines[i])
            i += 1
    return "\n".join(out)
