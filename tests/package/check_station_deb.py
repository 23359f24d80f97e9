#!/usr/bin/python3
"""The station's Debian package, installed as a station PC gets it.

  check_station_deb.py BUILD_DIR

Makes the package with `cpack -G DEB` in BUILD_DIR, checks its declared
run-time dependencies, then installs it with `dpkg -i` into a fresh root: a
private mount namespace with an overlay over this machine's / (so dpkg finds
the dependencies already installed here, and writes only into the overlay),
with the source and build trees hidden under an empty tmpfs.  From that
root it runs the installed `rfprobe --help` and the shipped smoke plan
against the real agent on a simulated router.
Needs root; exits 77 (skipped) without it.
"""
import glob
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SRC, "sim"))
import simrig  # noqa: E402

# Runs inside the station namespace, in a mount namespace of its own.
# Arguments: work dir, .deb, the trees to hide, station interface.
ROOT_SCRIPT = r"""
set -eu
W=$1 DEB=$2 HIDE=$3 IF=$4
R=$W/root
mount -t tmpfs rfprobe-deb-rw "$W/rw"
mkdir "$W/rw/upper" "$W/rw/work" "$R"
mount -t overlay rfprobe-deb-root -o lowerdir=/,upperdir="$W/rw/upper",workdir="$W/rw/work" "$R"
mount -t proc proc "$R/proc"
mount --rbind /dev "$R/dev"
mount -t tmpfs rfprobe-deb-tmp "$R/tmp"
for d in $HIDE; do mount -t tmpfs rfprobe-deb-hide "$R$d"; done
cp "$DEB" "$R/tmp/"
in_root() { chroot "$R" env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin HOME=/root LANG=C "$@"; }
echo "== dpkg -i"
in_root dpkg -i "/tmp/$(basename "$DEB")"
echo "== files"
in_root dpkg -L rfprobe-station
echo "== help"
in_root rfprobe --help
echo "== plan"
in_root rfprobe --iface "$IF" run /usr/share/rfprobe/plans/smoke.plan
echo "== plan exit 0"
"""


def fail(msg):
    print("FAIL: " + msg)
    sys.exit(1)


def main():
    build = os.path.abspath(sys.argv[1])
    if os.geteuid() != 0:
        print("skipped: needs root (mount namespaces, network namespaces)")
        return 77
    host_had_package = os.path.exists("/var/lib/dpkg/info/rfprobe-station.list")
    work = tempfile.mkdtemp(prefix="rfprobe-deb-")
    try:
        r = subprocess.run(["cpack", "-G", "DEB", "-B", work], cwd=build, capture_output=True, text=True)
        debs = glob.glob(os.path.join(work, "rfprobe-station_*.deb"))
        if r.returncode != 0 or len(debs) != 1:
            fail("cpack -G DEB made no station package:\n" + r.stdout + r.stderr)
        deb = debs[0]
        depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True).stdout
        for lib in ("libc6", "libstdc++6", "libsqlite3-0", "libpq5", "libssl3"):
            if lib not in depends:
                fail("the package does not declare %s: Depends: %s" % (lib, depends.strip()))

        os.mkdir(os.path.join(work, "rw"))
        hide = " ".join(sorted({"/" + p.split("/")[1] for p in (SRC, build, work) if p.count("/") > 1}
                               - {"/tmp", "/usr", "/etc", "/var", "/proc", "/dev"}))
        rig = simrig.Rig(build).up()
        try:
            rig.start_agent(manual=True)
            r = subprocess.run(["ip", "netns", "exec", rig.station_ns, "unshare", "--mount",
                                "--propagation", "private", "sh", "-c", ROOT_SCRIPT, "rootscript",
                                work, deb, hide, rig.station_if],
                               capture_output=True, text=True, timeout=120)
            agent_log = rig.agent_log()
        finally:
            rig.down()
        out = r.stdout
        if r.returncode != 0 or "== plan exit 0" not in out:
            fail("installing or running the package failed (%d):\n%s%s" % (r.returncode, out, r.stderr))
        files = out.split("== files\n", 1)[1].split("== help\n", 1)[0].split()
        for want in ("/usr/bin/rfprobe", "/usr/share/man/man1/rfprobe.1",
                     "/usr/share/rfprobe/plans/factory.plan", "/usr/share/rfprobe/plans/line.plan",
                     "/usr/share/rfprobe/plans/smoke.plan"):
            if want not in files:
                fail("the package does not install %s" % want)
        if not any(f.endswith("/wireshark/plugins/rfprobe.lua") for f in files):
            fail("the dissector is not in a Wireshark plugin folder: %s" % files)
        help_text = out.split("== help\n", 1)[1].split("== plan\n", 1)[0]
        if "rfprobe - drive the router's RF test agent" not in help_text:
            fail("the installed rfprobe --help is not the manual:\n" + help_text)
        plan = out.split("== plan\n", 1)[1]
        if plan.split("\n")[:3] != ["set-channel: ok", "set-antenna: ok", "exit-test: ok"]:
            fail("the shipped smoke plan did not pass from the installed rfprobe:\n" + plan)
        for code in ("82", "83", "81"):
            if "--cmdType = %s" % code not in agent_log:
                fail("the agent never saw request 0x%s:\n%s" % (code, agent_log))
        if os.path.exists("/var/lib/dpkg/info/rfprobe-station.list") != host_had_package:
            fail("dpkg -i in the fresh root changed this machine's package database")
        print(out)
        print("ok: installed in a fresh root, --help is the manual, the smoke plan passed")
        return 0
    finally:
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    sys.exit(main())
