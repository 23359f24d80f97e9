#!/usr/bin/python3
"""A throwaway AMQP 1.0 broker for tests: a private RabbitMQ node from
Debian's rabbitmq-server with its rabbitmq_amqp1_0 plugin.

Each node gets a fresh directory /tmp/rfmq-XXXXXX (owned by the rabbitmq
user, as the server requires) holding its data, logs and enabled-plugins
file, a node name of its own and free TCP ports on 127.0.0.1 for AMQP and
for Erlang's distribution.  RabbitMQ lets the `guest` user in from
loopback only, which is where the tests connect from.  Stopping the node
leaves Erlang's port mapper (epmd) behind; destroy() ends the one this
node started, by its pid.

    with Broker() as b:              # Broker(netns=NAME): inside that namespace
        url = b.url                  # amqp://127.0.0.1:PORT
        b.stop(); b.start()          # the broker goes away and comes back, queues kept
"""

import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time

SERVER = "/usr/sbin/rabbitmq-server"
CTL = "/usr/sbin/rabbitmqctl"


def unavailable():
    """Why no broker can be started here, or None."""
    if not os.path.exists(SERVER):
        return "rabbitmq-server not installed (apt-get install rabbitmq-server)"
    try:
        pwd.getpwnam("rabbitmq")
    except KeyError:
        return "no rabbitmq user"
    if os.geteuid() != 0:
        return "a private RabbitMQ node is started as root here"
    return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def epmd_pids():
    out = subprocess.run(["pgrep", "-x", "epmd"], capture_output=True, text=True).stdout
    return {int(p) for p in out.split()}


class Broker:
    def __init__(self, netns=None):
        self.netns = netns
        self.dir = None
        self.port = None
        self.node = None
        self.proc = None
        self.epmd_before = set()

    @property
    def url(self):
        return "amqp://127.0.0.1:%d" % self.port

    def _env(self):
        e = dict(os.environ)
        d = self.dir
        e.update({
            "RABBITMQ_NODENAME": self.node,
            "RABBITMQ_NODE_IP_ADDRESS": "127.0.0.1",
            "RABBITMQ_NODE_PORT": str(self.port),
            "RABBITMQ_DIST_PORT": str(self.dist_port),
            "RABBITMQ_MNESIA_BASE": d + "/mnesia",
            "RABBITMQ_LOG_BASE": d + "/log",
            "RABBITMQ_ENABLED_PLUGINS_FILE": d + "/enabled_plugins",
            "RABBITMQ_PID_FILE": d + "/node.pid",
            "RABBITMQ_FEATURE_FLAGS_FILE": d + "/feature_flags",
            "RABBITMQ_CONFIG_FILE": d + "/rabbitmq",
            "HOME": d,
        })
        return e

    def _setup(self):
        self.dir = tempfile.mkdtemp(prefix="rfmq-")
        os.chmod(self.dir, 0o755)
        self.port = free_port()
        self.dist_port = free_port()
        self.amqp091_port = free_port()
        self.node = "rfmq%d@localhost" % self.port
        with open(self.dir + "/enabled_plugins", "w") as f:
            f.write("[rabbitmq_amqp1_0].\n")
        # Only AMQP on our port (0-9-1 and 1.0 share the listener).
        with open(self.dir + "/rabbitmq.conf", "w") as f:
            f.write("listeners.tcp.default = 127.0.0.1:%d\n" % self.port)
            f.write("loopback_users.guest = true\n")
        for sub in ("mnesia", "log"):
            os.makedirs(self.dir + "/" + sub, exist_ok=True)
        ent = pwd.getpwnam("rabbitmq")
        for root, dirs, files in os.walk(self.dir):
            for n in [root] + [os.path.join(root, x) for x in dirs + files]:
                os.chown(n, ent.pw_uid, ent.pw_gid)
        self.epmd_before = epmd_pids()

    def start(self, timeout=60):
        if self.dir is None:
            self._setup()
        log = open(self.dir + "/server.out", "ab")
        self.proc = subprocess.Popen(self._in_ns(["runuser", "-u", "rabbitmq", "--", SERVER]), env=self._env(),
                                     stdout=log, stderr=subprocess.STDOUT, cwd=self.dir,
                                     start_new_session=True)
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("rabbitmq-server ended: " + self.tail())
            if self._ctl("await_startup").returncode == 0:
                return self
            time.sleep(0.3)
        raise RuntimeError("rabbitmq-server did not start in %d s: %s" % (timeout, self.tail()))

    def _in_ns(self, argv):
        return (["ip", "netns", "exec", self.netns] if self.netns else []) + argv

    def _ctl(self, *args):
        return subprocess.run(self._in_ns(["runuser", "-u", "rabbitmq", "--", CTL, "-n", self.node] + list(args)),
                              env=self._env(), capture_output=True, text=True, cwd=self.dir, timeout=60)

    def tail(self):
        try:
            with open(self.dir + "/server.out", errors="replace") as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def stop(self):
        """The broker goes away (its queues stay on disk)."""
        if self.proc is None:
            return
        self._ctl("stop")
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, 9)
            self.proc.wait()
        self.proc = None

    def kill(self):
        """The broker dies at once (SIGKILL to its process group)."""
        if self.proc is None:
            return
        os.killpg(self.proc.pid, 9)
        self.proc.wait()
        self.proc = None

    def add_user(self, user, password):
        for args in (("add_user", user, password), ("set_permissions", "-p", "/", user, ".*", ".*", ".*")):
            r = self._ctl(*args)
            if r.returncode != 0:
                raise RuntimeError("rabbitmqctl %s: %s" % (args[0], r.stderr))

    def destroy(self):
        try:
            self.stop()
        finally:
            # The port mapper this node started (not one that was there before).
            for pid in epmd_pids() - self.epmd_before:
                try:
                    os.kill(pid, 15)
                except OSError:
                    pass
            if self.dir:
                shutil.rmtree(self.dir, ignore_errors=True)
                self.dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.destroy()
