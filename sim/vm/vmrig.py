"""The emulated router: the MIPS agent on a MIPS kernel under qemu-system-mips.

A VmRig has the interface of simrig.Rig, so the same tests, the demo and
`sim/rig --vm` drive either.  What differs is the router:

  station namespace rfs-<id>
    stn0 198.18.0.2/24: a tap device; qemu runs in this namespace and
    attaches the router's NIC (eth0 198.18.0.1/24 in the guest) to it

  qemu-system-mips -M malta, built by sim/vm/build (build-vm/):
    ttyS0  the kernel's and init's console    -> <run>/console.log
    ttyS1  the rig's control line (/sbin/rigctl in the guest) <- <run>/ctl.sock
    9p     <run> shared as /mnt/rig; /var/sim is <run>/sim
    flash  <run>/flash.bin, 4 MiB: NVRAM in its last sector, read and
           written by the guest's kernel (/proc/nvram/IsFactoryTest)

The router boots lazily, at the first thing that needs it (starting smd or
the agent, a command inside it), so that a test can preset the flag, the
radio state and faults first, as on the namespace rig.  The agent is then
started the way the router starts it: by its boot script, at boot, when a
test asks for normal mode; by the rig through the control line in manual
mode.  Its console log and error output reach <run>/agent.out and
<run>/agent.err through pipes, a relay in the router and the share, and its
exit status <run>/agent.rc.

Files of the router's root (root_path) are copied out through the control
line: they are snapshots, to read.
"""

import base64
import json
import os
import re
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

import simrig
from simrig import RigError, READY_LINE

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
QEMU = "qemu-system-mips"
ROUTER_MAC = "02:00:00:00:00:01"
# The router's LAN port: qemu's PCnet card (as old routers had) or a virtio
# NIC; RFPROBE_VM_NIC chooses.  It sits in PCI slot 0x14 (interrupt line 11)
# and the 9p share in 0x12 (line 10): sharing one line, the two stopped
# getting interrupts after a few hundred requests with a busy router, and no
# frame reached the agent any more.
NICS = {"pcnet": "pcnet", "virtio": "virtio-net-pci"}
AGENT_SERVICE = "rfprobe-agent"   # /etc/init.d/S90rfprobe-agent, the agent's boot script

FLASH_SIZE = 4 << 20
NVRAM_SECTOR = FLASH_SIZE - (64 << 10)
NVRAM_MAGIC = b"NVR1"
NVRAM_TEXT_MAX = 4096

# The main thread of the agent blocked in poll()/ppoll(): the capture is
# open and its filter installed (o32 system call numbers).
_POLL_SYSCALLS = ("4188", "4302", "4414")
# A relay with nothing to pass on waits in read() on its pipe, or in open()
# while the pipe has no writer yet.
_RELAY_IDLE = ("4003", "4005", "4288")


def vm_build_dir():
    return os.path.abspath(os.environ.get("RFPROBE_VM_BUILD", os.path.join(ROOT, "build-vm")))


# ----- NVRAM in the flash image -----

def nvram_image(variables):
    """A 4 MiB flash image (erased: all 0xff) holding these NVRAM variables."""
    text = "".join("%s=%s\n" % kv for kv in variables.items()).encode()
    if len(text) > NVRAM_TEXT_MAX:
        raise RigError("NVRAM text too long")
    img = bytearray(b"\xff" * FLASH_SIZE)
    img[NVRAM_SECTOR:NVRAM_SECTOR + 8 + len(text)] = NVRAM_MAGIC + struct.pack(">I", len(text)) + text
    return bytes(img)


def nvram_variables(path):
    """The NVRAM variables a flash image holds, in their order."""
    with open(path, "rb") as f:
        f.seek(NVRAM_SECTOR)
        head = f.read(8)
        if head[:4] != NVRAM_MAGIC:
            return {}
        n = struct.unpack(">I", head[4:])[0]
        text = f.read(min(n, NVRAM_TEXT_MAX)).decode(errors="replace")
    return dict(l.split("=", 1) for l in text.split("\n") if "=" in l)


# ----- the control line -----

class Control:
    """Commands for the router's shell over its second serial port."""

    MARK = b"\x01"

    def __init__(self, path, console, timeout=60.0):
        self.lock = threading.Lock()
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except (FileNotFoundError, ConnectionRefusedError):
                self.sock.close()
                if time.monotonic() > deadline:
                    raise RigError("qemu's control socket never appeared")
                time.sleep(0.02)
        self.buf = b""
        self.console = console
        # rigctl announces itself once init has started it.
        self._read_until(self.MARK + b"ready\n", deadline, "the router did not boot")
        self.buf = b""

    def _read_until(self, token, deadline, what):
        while token not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RigError("%s (console:\n%s)" % (what, self.console()[-3000:]))
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not data:
                raise RigError("%s: the control line closed (console:\n%s)" % (what, self.console()[-3000:]))
            self.buf += data
        i = self.buf.index(token) + len(token)
        out, self.buf = self.buf[:i], self.buf[i:]
        return out

    def run(self, cmd, timeout=30.0):
        """Run one shell command line in the router; (status, output)."""
        if "\n" in cmd:
            raise ValueError("one line only")
        with self.lock:
            self.sock.sendall(cmd.encode() + b"\n")
            out = self._read_until(b"\n", time.monotonic() + timeout, "no answer to %r" % cmd)
            while not re.search(rb"\x01rc=\d+\n$", out):
                out += self._read_until(b"\n", time.monotonic() + timeout, "no answer to %r" % cmd)
        m = re.search(rb"\x01rc=(\d+)\n$", out)
        return int(m.group(1)), out[:m.start()].decode(errors="replace")

    def close(self):
        self.sock.close()


def _quote(word):
    return "'" + str(word).replace("'", "'\\''") + "'"


class GuestProcess:
    """A process in the router, with the parts of Popen the tests use.  Its
    exit status is the file <run>/<name>.rc written by the wrapper that
    started it (for the boot script's agent: the rig's own watcher)."""

    def __init__(self, rig, name, pid):
        self.rig, self.name, self.pid = rig, name, pid
        self.returncode = None

    def poll(self):
        if self.returncode is None:
            text = self.rig.read(self.name + ".rc").strip()
            if text:
                self.returncode = int(text)
        return self.returncode

    def wait(self, timeout=None):
        deadline = None if timeout is None else time.monotonic() + timeout
        while self.poll() is None:
            if deadline is not None and time.monotonic() > deadline:
                raise subprocess.TimeoutExpired(self.name, timeout)
            if not self.rig.running():
                raise RigError("the router stopped while %s ran" % self.name)
            time.sleep(0.02)
        return self.returncode

    def send_signal(self, sig):
        self.rig.guest("kill -%d %d" % (int(sig), self.pid))

    def terminate(self):
        self.send_signal(signal.SIGTERM)

    def kill(self):
        self.send_signal(signal.SIGKILL)


class VmRig(simrig.Rig):
    target = "vm"
    console_on_pipe = True   # the agent's console is a pipe to a relay, always
    # Commands are slow there (a set-TX of seven takes over a second, and
    # several times that on a loaded PC): at rfprobe's default two seconds
    # the station gave up on a request whose reply was still to come.
    reply_timeout_ms = 20000

    def __init__(self, build=None, agent=None, sim_bin=None, tools_dir=None, keep=False, vm_build=None,
                 tester=False, seed=None, faults=()):
        # tester: the simulated tester in the station namespace, cabled to
        # this router (its radio state is on the share: <run>/sim).
        super().__init__(build, agent, sim_bin, tools_dir, keep, tester=tester, seed=seed, faults=faults)
        self.vm_build = vm_build or vm_build_dir()
        self.kernel = os.path.join(self.vm_build, "vmlinux")
        self.initramfs = os.path.join(self.vm_build, "initramfs.cpio.gz")
        self.router_ns = self.station_ns  # qemu and its tap live there
        self.agent_bin = "rfprobe-agent"   # on the router's PATH, where the install put it
        self.nic = os.environ.get("RFPROBE_VM_NIC", "virtio")
        if self.nic not in NICS:
            raise RigError("RFPROBE_VM_NIC must be one of %s" % ", ".join(NICS))
        self.qemu = None
        self.ctl = None
        self._smd_args = None
        self.boots = 0

    # ----- bring up and tear down -----

    def _check_built(self):
        for f in (self.kernel, self.initramfs):
            if not os.path.isfile(f):
                raise RigError("%s is not built: run sim/vm/build" % f)

    def _up(self, flag):
        self.run_dir = tempfile.mkdtemp(prefix="rfprobe-vm-%s-" % self.id)
        os.chmod(self.run_dir, 0o755)
        os.mkdir(os.path.join(self.run_dir, "sim"))
        with open(self.flash_path, "wb") as f:
            f.write(nvram_image({}))
        self.set_flag(flag)
        ns, ifname = self.station_ns, self.station_if
        simrig._add_namespace(ns)
        self._made_ns.append(ns)
        simrig._run("ip", "-n", ns, "tuntap", "add", "dev", ifname, "mode", "tap")
        simrig._run("ip", "-n", ns, "addr", "add", self.station_addr, "dev", ifname)
        simrig._run("ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv4.conf.%s.rp_filter=0" % ifname)
        simrig._run("ip", "-n", ns, "link", "set", ifname, "up")
        if self.tester:
            self._up_tester()

    def _up_tester(self):
        """As simrig.Rig does: the unit's truth and no golden unit on the
        share, the tester in the station namespace, the station's fixture."""
        self.set_unit(self.seed, self.faults)
        self.set_state(rxrate="0")
        loss = simrig.unit_loss(0)
        self.tester_proc = simrig.start_tester(self.station_ns, self.sim_bin, {1: (self.sim_dir, loss)},
                                               self.seed, self._open("tester.err"), self.dialect)
        self.fixture = simrig.write_fixture(os.path.join(self.run_dir, "fixture.toml"),
                                            [(self.station_if, 1, loss)], self.dialect)

    @property
    def flash_path(self):
        return os.path.join(self.run_dir, "flash.bin")

    def boot(self, services=(), smd_args=()):
        """Start the router.  services: what its boot starts besides the
        rig's control line ("smd", "rfprobe-agent")."""
        if self.qemu is not None:
            raise RigError("the router is already running")
        skip = [s for s in ("smd", AGENT_SERVICE) if s not in services]
        with open(os.path.join(self.run_dir, "boot.conf"), "w") as f:
            f.write("RIG_SKIP=%s\nSMD_ARGS=%s\n" % (_quote(" ".join(skip)), _quote(" ".join(smd_args))))
            if AGENT_SERVICE in services:
                f.write("AGENT_LOG=/mnt/rig/agent.out\n")
        # A boot starts with fresh logs; the earlier boot's stay as <name>.<n>.
        for name in ("agent.out", "agent.err", "agent.rc", "smd.log", "console.log"):
            path = os.path.join(self.run_dir, name)
            if os.path.exists(path):
                os.rename(path, "%s.%d" % (path, self.boots))
        ctl = os.path.join(self.run_dir, "ctl.sock")
        argv = [QEMU, "-M", "malta", "-m", "128", "-nodefaults", "-no-reboot", "-display", "none",
                "-kernel", self.kernel, "-initrd", self.initramfs,
                "-append", "console=ttyS0 panic=-1",
                "-chardev", "file,id=con,path=%s" % os.path.join(self.run_dir, "console.log"),
                "-serial", "chardev:con",
                "-chardev", "socket,id=ctl,path=%s,server=on,wait=off" % ctl,
                "-serial", "chardev:ctl",
                "-netdev", "tap,id=lan,ifname=%s,script=no,downscript=no" % self.station_if,
                "-device", "%s,netdev=lan,mac=%s,romfile=,addr=0x14" % (NICS[self.nic], ROUTER_MAC),
                "-fsdev", "local,id=rig,path=%s,security_model=none" % self.run_dir,
                "-device", "virtio-9p-pci,fsdev=rig,mount_tag=rig,addr=0x12",
                "-drive", "if=pflash,format=raw,file=%s" % self.flash_path]
        self.qemu = subprocess.Popen(["ip", "netns", "exec", self.station_ns] + argv,
                                     stdin=subprocess.DEVNULL, stdout=self._open("qemu.log"),
                                     stderr=subprocess.STDOUT, start_new_session=True)
        self.boots += 1
        self.t_boot = time.monotonic()
        self.ctl = Control(ctl, lambda: self.read("console.log"))
        self.t_userland = time.monotonic() - self.t_boot  # rcS done, control line up
        self.holder = self.qemu
        if AGENT_SERVICE in services:
            self._watch_boot_agent()

    def running(self):
        return self.qemu is not None and self.qemu.poll() is None

    def _ensure_booted(self):
        if self.qemu is None:
            self.boot()

    def shutdown(self, timeout=20.0):
        """Power the router off (init stops its services) and wait for qemu."""
        if self.qemu is None:
            return
        if self.running():
            try:
                self.ctl.sock.sendall(b"poweroff\n")
            except OSError:
                pass
            try:
                self.qemu.wait(timeout)
            except subprocess.TimeoutExpired:
                pass
        self._stop_qemu()

    def reboot(self, services=("smd", "rfprobe-agent"), smd_args=()):
        """Power off and boot again with the same flash and share."""
        self.shutdown()
        self.agent = self.smd = None
        self.boot(services, smd_args)

    def _stop_qemu(self):
        if self.ctl is not None:
            self.ctl.close()
            self.ctl = None
        if self.qemu is not None:
            self._end_group(self.qemu)
            self.qemu = None
        self.holder = None

    def down(self):
        self._stop_qemu()
        self.agent = self.smd = None
        super().down()

    # ----- inside the router -----

    def guest(self, cmd, timeout=30.0, check=True):
        """Run a shell command line in the router; its output."""
        self._ensure_booted()
        rc, out = self.ctl.run(cmd, timeout)
        if check and rc != 0:
            raise RigError("in the router: %s: status %d: %s" % (cmd, rc, out.strip()))
        return out

    def in_root(self, *cmd, **kw):
        """Run a command in the router to its end; a finished GuestProcess."""
        self._ensure_booted()
        rc, _ = self.ctl.run(" ".join(_quote(c) for c in cmd))
        p = GuestProcess(self, "in_root", 0)
        p.returncode = rc
        return p

    def root_path(self, path):
        """A snapshot of a file of the router's root, copied to the PC."""
        out = self.guest("base64 %s" % _quote(path), check=False)
        snap = os.path.join(self.run_dir, "snapshot", path.lstrip("/"))
        os.makedirs(os.path.dirname(snap), exist_ok=True)
        if "can't open" in out or "No such file" in out:
            try:
                os.unlink(snap)
            except FileNotFoundError:
                pass
        else:
            with open(snap, "wb") as f:
                f.write(base64.b64decode(out))
        return snap

    def start_smd(self, *args, timeout=5.0):
        if self.qemu is None:
            self._smd_args = list(args)   # started by its boot script
        else:
            self.guest("SMD_ARGS=%s /etc/init.d/S40smd start" % _quote(" ".join(args)))
            self.wait_for("smd.log", "smd: listening", timeout)
        self.smd = GuestProcess(self, "smd", 0)
        return self.smd

    def _start_by_hand(self, argv, out_relay="cat"):
        """Start the agent through the control line; its GuestProcess.  The
        log reaches the share through pipes and a relay (out_relay reads the
        console's pipe: cat, or head -n 1 for a console that goes away): the
        agent's own threads never write to 9p, where a thread cancelled in a
        write (the transmit worker) can hang for good.  exitwatch --dfl gives
        it SIGINT and SIGQUIT back, which a shell ignores for what it starts
        in the background, as a terminal would have them."""
        self._ensure_booted()
        pid = self.guest(
            "cd /; rm -f /tmp/agent.pid /tmp/agent.relay /tmp/agent.out.fifo /tmp/agent.err.fifo /mnt/rig/agent.rc;"
            " mkfifo /tmp/agent.out.fifo /tmp/agent.err.fifo;"
            " ( %s /tmp/agent.out.fifo >/mnt/rig/agent.out & o=$!;"
            " cat /tmp/agent.err.fifo >/mnt/rig/agent.err & e=$!; echo $o $e >/tmp/agent.relay;"
            " /sbin/exitwatch --dfl %s >/tmp/agent.out.fifo 2>/tmp/agent.err.fifo </dev/null & a=$!;"
            " echo $a >/tmp/agent.pid;"
            " wait $a; rc=$?; wait $o $e; [ $rc -gt 128 ] && rc=-$((rc - 128));"
            " echo $rc >/mnt/rig/agent.rc.tmp; mv /mnt/rig/agent.rc.tmp /mnt/rig/agent.rc )"
            " >/dev/null 2>&1 & n=0; while [ ! -s /tmp/agent.pid ] && [ $n -lt 500 ]; do usleep 10000;"
            " n=$((n+1)); done; cat /tmp/agent.pid" % (out_relay, " ".join(_quote(a) for a in argv)))
        self.agent = GuestProcess(self, "agent", int(pid.strip() or 0))
        return self.agent

    def start_agent_under(self, *prefix):
        """Manual mode under a wrapper of the router's own (setpriv to
        another user, say), started through the control line; no wait."""
        return self._start_by_hand(list(prefix) + ["rfprobe-agent", "-m"])

    def start_agent_console_closed(self, timeout=30.0):
        """Manual mode with the console on a pipe whose reader ends after the
        first line; returns that line."""
        self._start_by_hand(["rfprobe-agent", "-m"], out_relay="head -n 1 <")
        deadline = time.monotonic() + timeout
        while "\n" not in self.read("agent.out") and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.read("agent.out").split("\n")[0].rstrip("\r")

    def start_agent(self, manual=True, args=(), wait=True, timeout=None):
        """Normal mode: boot the router, whose boot script starts the agent.
        Manual mode: start it through the control line."""
        timeout = timeout or (60.0 if not manual else 30.0)
        if manual or args:
            self._start_by_hand(["rfprobe-agent"] + (["-m"] if manual else []) + list(args))
        else:
            if self.qemu is not None:
                raise RigError("the agent's boot script runs at boot: start it before anything else")
            services = [AGENT_SERVICE] + (["smd"] if self._smd_args is not None else [])
            self.boot(services, self._smd_args or ())
        if wait:
            self.wait_ready(timeout)
        return self.agent

    def _watch_boot_agent(self):
        """The boot script's agent: its pid, and a watcher that records its
        exit status.  It is not a child of anything the rig runs, so the
        status comes from the kernel's process accounting (see rcS)."""
        # The status is written once rcS's log relay has passed on the last line.
        self.guest("( /sbin/exitwatch rfprobe-agent /var/run/pacct /tmp/agent.rc;"
                   " r=$(cat /var/run/agent-log.pid 2>/dev/null); while [ -n \"$r\" ] && [ -e /proc/$r ];"
                   " do usleep 10000; done; cat /tmp/agent.rc >/mnt/rig/agent.rc.tmp;"
                   " mv /mnt/rig/agent.rc.tmp /mnt/rig/agent.rc ) >/dev/null 2>&1 &")
        pid = self.guest("n=0; while ! pidof rfprobe-agent >/dev/null && [ $n -lt 100 ]"
                         " && [ ! -e /mnt/rig/agent.rc ]; do usleep 20000; n=$((n+1)); done;"
                         " pidof rfprobe-agent", check=False).split()
        self.agent = GuestProcess(self, "agent", int(pid[0]) if pid else 0)

    def wait_ready(self, timeout=30.0):
        if not self.wait_for("agent.out", READY_LINE, timeout, proc=self.agent, must=False):
            return False
        return self.wait_capture(self.agent.pid, timeout)

    def wait_capture(self, pid, timeout=30.0):
        """Wait until the agent's main thread waits in poll(): its capture
        is open with the filter installed.  False when it exited first."""
        rc, _ = self.ctl.run(
            "n=0; while [ $n -lt %d ]; do read s rest </proc/%d/syscall || exit 1;"
            " case $s in %s) exit 0;; esac; usleep 10000; n=$((n+1)); done; exit 2"
            % (int(timeout * 100), pid, "|".join(_POLL_SYSCALLS)), timeout + 10)
        if rc == 1:
            return False
        if rc != 0:
            raise RigError("agent did not open its capture within %.0f s:\n%s" % (timeout, self.agent_log()))
        return True

    def wait_agent_exit(self, timeout=30.0):
        code = super().wait_agent_exit(timeout)
        if code is None and self.agent is not None and self.running() and self.agent.pid:
            # Gone already, its status on the way (relay, accounting, share)?
            if self.guest("[ -e /proc/%d ] && echo alive; true" % self.agent.pid).strip() != "alive":
                code = super().wait_agent_exit(5.0)
        return code

    # ----- the router's processes and root, through the control line -----

    def router_procs(self):
        """The router's processes: (pid, ppid, name, command line), without
        the rig's own (the listing itself, the agent's wrapper and relays)."""
        out = self.guest("echo $$; for d in /proc/[0-9]*; do read -r p c s pp rest <$d/stat || continue;"
                         " echo \"$p $pp $c $(tr '\\0' ' ' <$d/cmdline)\"; done 2>/dev/null; true")
        lines = out.splitlines()
        me = lines[0].strip()
        procs = []
        for line in lines[1:]:
            f = line.split(None, 3)
            if len(f) < 3 or not (f[0] + f[1]).isdigit() or me in f[:2] or "/mnt/rig" in line:
                continue
            procs.append((int(f[0]), int(f[1]), f[2].strip("()"), f[3].strip() if len(f) > 3 else ""))
        return procs

    def proc_threads(self, pid):
        return self.proc_figures(pid)["Threads"]

    def proc_figures(self, pid):
        """As soaklib.proc_figures, from the router's /proc."""
        out = self.guest(
            "cat /proc/%d/status; echo fds $(ls /proc/%d/fd | wc -l); for t in /proc/[0-9]*/stat; do"
            " read -r p c st pp rest <$t && [ \"$pp\" = %d ] && echo child $p $st; done 2>/dev/null; true"
            % (pid, pid, pid))
        fig = {"children": 0, "zombies": 0}
        for line in out.splitlines():
            k, _, v = line.partition(":")
            if k in ("VmRSS", "RssAnon", "VmHWM", "Threads"):
                fig[k] = int(v.split()[0])
            elif line.startswith("fds "):
                fig["fds"] = int(line.split()[1])
            elif line.startswith("child "):
                fig["children"] += 1
                fig["zombies"] += line.split()[2] == "Z"
        return fig

    def kill_group(self, pgid, sig=signal.SIGKILL):
        self.guest("kill -%d -%d 2>/dev/null; true" % (int(sig), pgid))

    def remove_root_file(self, path):
        self.guest("rm %s" % _quote(path))

    def fill_root_fs(self, path):
        probe = os.path.join(os.path.dirname(path), "probe")
        out = self.guest("dd if=/dev/zero bs=4096 >>%s 2>/dev/null; echo x >%s && echo writable; true"
                         % (_quote(path), _quote(probe)))
        return "writable" not in out

    def router_tx_packets(self):
        """Frames the router sent: what the tap has taken from qemu."""
        r = simrig._run("ip", "-n", self.station_ns, "-s", "-j", "link", "show", self.station_if)
        return json.loads(r.stdout)[0]["stats64"]["rx"]["packets"]

    # ----- the station side and what happened -----

    def read(self, name, default=""):
        if name in ("agent.out", "agent.err"):
            self._relay_caught_up()
        return super().read(name, default)

    def _relay_caught_up(self):
        """Wait until the log relays have passed on everything the agent
        wrote so far: each is back in read() on its empty pipe (or gone)."""
        if not self.running() or self.agent is None:
            return
        self.ctl.run("for p in $(cat /tmp/agent.relay /var/run/agent-log.pid 2>/dev/null); do n=0;"
                     " while read s rest </proc/$p/syscall 2>/dev/null && case $s in %s) false;; esac"
                     " && [ $n -lt 400 ]; do usleep 5000; n=$((n+1)); done; done; true" % "|".join(_RELAY_IDLE))

    def router_rx_packets(self):
        """Frames sent to the router: what the tap has passed to qemu."""
        r = simrig._run("ip", "-n", self.station_ns, "-s", "-j", "link", "show", self.station_if)
        return json.loads(r.stdout)[0]["stats64"]["tx"]["packets"]

    def flag(self):
        v = nvram_variables(self.flash_path).get("IsFactoryTest")
        return "" if not v else v + "\n"

    def set_flag(self, text):
        value = text[:-1] if text.endswith("\n") else text
        if self.qemu is None:
            nv = nvram_variables(self.flash_path)
            nv["IsFactoryTest"] = value
            with open(self.flash_path, "r+b") as f:
                f.write(nvram_image(nv))
        else:
            self.guest("printf %%s %s >/proc/nvram/IsFactoryTest" % _quote(value))

    def set_flag_writable(self, writable):
        """Hold or release the flash's write protection: a write of the flag
        then fails in the kernel (EROFS)."""
        self.guest("echo %d >/sys/module/rfnvram/parameters/write_protect" % (0 if writable else 1))
