#!/usr/bin/python3
"""A throwaway PostgreSQL server for tests, from Debian's own packages.

Each server gets a fresh directory /tmp/rfpg-XXXXXX holding its data
directory (initdb), its Unix socket directory and its log.  It listens on
that socket only (no TCP), trusts local connections and has one superuser,
"rfprobe".  PostgreSQL refuses to run as root, so under root the server
programs run as the `postgres` system user (runuser); otherwise as the
caller.  It is made for tests: fsync is off.

From Python:

    with PgServer() as pg:          # or pg = PgServer(); pg.start() ... pg.destroy()
        url = pg.url("mydb")         # creates the database; a postgresql:// URL
        pg.stop(); pg.start()        # the server goes away and comes back, data kept
        with PgBouncer(pg) as b:     # Debian's pgbouncer in front of it, transaction mode
            url = b.url("mydb")

From another program (the C++ unit tests), as a child process:

    tests/pgserver.py serve
        prints "url postgresql:///postgres?host=...&port=...&user=rfprobe"
        (or "unavailable REASON" and exits), then reads commands from
        standard input, one per line, and answers "ok" or "error TEXT":
          stop     stop the server (the socket goes away, data stays)
          start    start it again
          createdb NAME
        At end of input (the caller closed the pipe, or died) the server is
        stopped and its directory removed.
"""

import glob
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

PORT = 5432
SUPERUSER = "rfprobe"


def pg_bin():
    """The newest PostgreSQL server programs installed, or None."""
    dirs = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                  key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    return os.path.dirname(dirs[-1]) if dirs else None


def unavailable():
    """Why no server can be started here, or None."""
    if not pg_bin():
        return "PostgreSQL server not installed (apt-get install postgresql)"
    if os.geteuid() == 0:
        try:
            pwd.getpwnam("postgres")
        except KeyError:
            return "running as root and there is no 'postgres' user to run the server as"
    return None


class PgError(RuntimeError):
    pass


class PgServer:
    def __init__(self):
        self.bin = pg_bin()
        self.base = None
        self.running = False

    @property
    def data(self):
        return os.path.join(self.base, "data")

    @property
    def sock(self):
        return os.path.join(self.base, "sock")

    def _as_server_user(self, argv):
        if os.geteuid() == 0:
            return ["runuser", "-u", "postgres", "--"] + argv
        return argv

    def _run(self, argv, server_user=True):
        r = subprocess.run(self._as_server_user(argv) if server_user else argv, cwd=self.base,
                           capture_output=True, text=True, env=dict(os.environ, LANG="C", LC_ALL="C"),
                           stdin=subprocess.DEVNULL, timeout=120)
        if r.returncode != 0:
            raise PgError("%s failed (%d): %s%s" % (os.path.basename(argv[0]), r.returncode,
                                                    r.stderr.strip(), self._log_tail()))
        return r

    def _log_tail(self):
        try:
            with open(os.path.join(self.base, "log"), errors="replace") as f:
                return "\n--- server log ---\n" + "".join(f.readlines()[-20:])
        except OSError:
            return ""

    def _init(self):
        why = unavailable()
        if why:
            raise PgError(why)
        self.base = tempfile.mkdtemp(prefix="rfpg-", dir="/tmp")
        os.mkdir(self.sock)
        if os.geteuid() == 0:
            pw = pwd.getpwnam("postgres")
            for p in (self.base, self.sock):
                os.chown(p, pw.pw_uid, pw.pw_gid)
        self._run([os.path.join(self.bin, "initdb"), "-D", self.data, "-A", "trust", "-U", SUPERUSER,
                   "-E", "UTF8", "--locale=C", "--no-sync", "--no-instructions"])
        # Our own socket only; a test server needs no durability.
        with open(os.path.join(self.data, "postgresql.conf"), "a") as f:
            f.write("\n# test server\nlisten_addresses = ''\nunix_socket_directories = '%s'\n"
                    "port = %d\nfsync = off\nfull_page_writes = off\nsynchronous_commit = off\n"
                    % (self.sock, PORT))

    def start(self):
        if self.base is None:
            self._init()
        if not self.running:
            self._run([os.path.join(self.bin, "pg_ctl"), "-D", self.data, "-l",
                       os.path.join(self.base, "log"), "-w", "-t", "60", "start"])
            self.running = True
        return self

    def stop(self):
        if self.running:
            self._run([os.path.join(self.bin, "pg_ctl"), "-D", self.data, "-m", "fast", "-w", "-t", "60",
                       "stop"])
            self.running = False

    def destroy(self):
        """Stop the server and remove everything it had.  Safe to call twice."""
        if self.base is None:
            return
        try:
            self.stop()
        except (PgError, subprocess.TimeoutExpired):
            self._kill_postmaster()
        shutil.rmtree(self.base, ignore_errors=True)
        self.base = None

    def _kill_postmaster(self):
        # Only the server this object started: its pid is in its data dir.
        try:
            with open(os.path.join(self.data, "postmaster.pid")) as f:
                os.kill(int(f.readline()), signal.SIGQUIT)
        except (OSError, ValueError):
            pass
        self.running = False

    def url(self, dbname="postgres"):
        """A libpq URL for a database on this server (created if needed)."""
        if dbname != "postgres":
            self.createdb(dbname)
        return "postgresql:///%s?host=%s&port=%d&user=%s" % (dbname, self.sock, PORT, SUPERUSER)

    def createdb(self, name):
        r = subprocess.run([os.path.join(self.bin, "psql"), "-h", self.sock, "-p", str(PORT), "-U", SUPERUSER,
                            "-d", "postgres", "-tAc", "SELECT 1 FROM pg_database WHERE datname = '%s'" % name],
                           capture_output=True, text=True, stdin=subprocess.DEVNULL)
        if r.stdout.strip() == "1":
            return
        self._run([os.path.join(self.bin, "createdb"), "-h", self.sock, "-p", str(PORT), "-U", SUPERUSER,
                   name], server_user=False)

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.destroy()
            raise

    def __exit__(self, *exc):
        self.destroy()


class PgBouncer:
    """pgbouncer in transaction mode in front of a PgServer, on a Unix socket
    of its own in the server's directory (run as the server's user: it
    refuses root).  pool_size: server connections per database and user."""

    PORT = 6432

    def __init__(self, pg, pool_size=20):
        self.pg = pg
        self.pool_size = pool_size
        self.proc = None
        self.dir = os.path.join(pg.base, "bouncer")

    @staticmethod
    def unavailable():
        return None if shutil.which("pgbouncer") else "pgbouncer not installed (apt-get install pgbouncer)"

    @property
    def sock(self):
        return os.path.join(self.dir, ".s.PGSQL.%d" % self.PORT)

    def start(self):
        if not os.path.isdir(self.dir):
            os.mkdir(self.dir)
            with open(os.path.join(self.dir, "users.txt"), "w") as f:
                f.write('"%s" ""\n' % SUPERUSER)
            with open(os.path.join(self.dir, "pgbouncer.ini"), "w") as f:
                f.write("[databases]\n* = host=%s port=%d\n[pgbouncer]\nlisten_addr =\nlisten_port = %d\n"
                        "unix_socket_dir = %s\nauth_type = trust\nauth_file = %s/users.txt\n"
                        "pool_mode = transaction\nmax_client_conn = 2000\ndefault_pool_size = %d\n"
                        "logfile = %s/log\n" % (self.pg.sock, PORT, self.PORT, self.dir, self.dir,
                                                 self.pool_size, self.dir))
            if os.geteuid() == 0:
                shutil.chown(self.dir, "postgres", "postgres")
        self.proc = subprocess.Popen(self.pg._as_server_user(["pgbouncer", os.path.join(self.dir, "pgbouncer.ini")]),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.sock):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.stop()
                raise PgError("pgbouncer did not start")
            time.sleep(0.05)
        return self

    def stop(self):
        """Ends pgbouncer (its socket goes); start() brings it back."""
        if self.proc is None:
            return
        self.proc.terminate()  # runuser passes it on
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc = None

    def url(self, dbname):
        self.pg.createdb(dbname)
        return "postgresql:///%s?host=%s&port=%d&user=%s" % (dbname, self.dir, self.PORT, SUPERUSER)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def serve():
    why = unavailable()
    if why:
        print("unavailable " + why, flush=True)
        return 0
    pg = PgServer()
    # A signal ends the loop like end of input does: the server goes too.
    for s in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(s, lambda *a: sys.exit(1))
    try:
        pg.start()
        print("url " + pg.url(), flush=True)
        for line in sys.stdin:
            words = line.split()
            try:
                if words == ["stop"]:
                    pg.stop()
                elif words == ["start"]:
                    pg.start()
                elif len(words) == 2 and words[0] == "createdb" and words[1].isidentifier():
                    pg.createdb(words[1])
                else:
                    raise PgError("unknown command %r" % line.strip())
                print("ok", flush=True)
            except (PgError, subprocess.TimeoutExpired) as e:
                print("error " + str(e).replace("\n", " | "), flush=True)
    except PgError as e:
        print("error " + str(e).replace("\n", " | "), flush=True)
        return 1
    finally:
        pg.destroy()
    return 0


if __name__ == "__main__":
    if sys.argv[1:] != ["serve"]:
        sys.exit("usage: %s serve" % sys.argv[0])
    sys.exit(serve())
