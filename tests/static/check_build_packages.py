#!/usr/bin/python3
"""Every pkg_check_modules and find_package of the CMake files is satisfied
by a package of the build group of scripts/packages.

  check_build_packages.py SOURCE_DIR

For each module the file that answers it on this machine is found (the .pc
file through pkg-config, a package's CMake config file, or CMake's own Find
module and what that needs), and its owner through dpkg -S.  The owner must
be in the build group, or be pulled in by a package there (as libpcap-dev
pulls in libpcap0.8-dev, which holds libpcap.pc).  A module
that nothing on this machine answers fails too: CMake's configure would.
"""
import glob
import os
import re
import shutil
import subprocess
import sys

SKIP_DIRS = {".git", "CMakeFiles"}
PKG_KEYWORDS = {"REQUIRED", "QUIET", "NO_CMAKE_PATH", "NO_CMAKE_ENVIRONMENT_PATH",
                "IMPORTED_TARGET", "GLOBAL"}
# CMake's own modules that need only what CMake and the compiler bring,
# or a program: module -> the file whose owner must be in the list.
CMAKE_MODULE_NEEDS = {"PkgConfig": lambda: shutil.which("pkg-config"), "Threads": lambda: None}


def cmake_files(root):
    for d, dirs, files in os.walk(root):
        dirs[:] = [x for x in dirs if x not in SKIP_DIRS and not x.startswith("build")]
        for f in files:
            if f == "CMakeLists.txt" or f.endswith(".cmake"):
                yield os.path.join(d, f)


def calls(text):
    """(kind, module) for every call, comments stripped."""
    text = re.sub(r"#[^\n]*", "", text)
    for m in re.finditer(r"\bpkg_check_modules\s*\(([^)]*)\)", text, re.I):
        words = m.group(1).split()[1:]  # the first word is the prefix
        for w in words:
            if w not in PKG_KEYWORDS:
                yield "pkg-config", re.split(r"[<>=]", w)[0]
    for m in re.finditer(r"\bpkg_search_module\s*\(([^)]*)\)", text, re.I):
        for w in m.group(1).split()[1:]:
            if w not in PKG_KEYWORDS:
                yield "pkg-config", re.split(r"[<>=]", w)[0]
    for m in re.finditer(r"\bfind_package\s*\(\s*([A-Za-z0-9_]+)", text, re.I):
        yield "cmake", m.group(1)


def group(root, name):
    pkgs, on = [], False
    with open(os.path.join(root, "scripts", "packages")) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line.startswith("["):
                on = line == "[%s]" % name
            elif on:
                pkgs += line.split()
    return pkgs


def owner(path):
    r = subprocess.run(["dpkg", "-S", os.path.realpath(path)], capture_output=True, text=True)
    if r.returncode != 0:
        r = subprocess.run(["dpkg", "-S", path], capture_output=True, text=True)
    if r.returncode != 0:
        return None
    return r.stdout.split(":", 1)[0].split(",")[0].strip()


def installed_with(pkgs):
    """pkgs and every installed package they pull in, directly or not."""
    r = subprocess.run(["dpkg-query", "-W", "-f=${Package}\t${Provides}\t${Depends}, ${Pre-Depends}\n"],
                       capture_output=True, text=True, check=True)
    deps, provider = {}, {}
    for line in r.stdout.splitlines():
        name, provides, dep = line.split("\t")
        deps[name] = {a.strip().split(" ")[0].split(":")[0] for a in re.split(r"[,|]", dep) if a.strip()}
        for v in provides.split(","):
            if v.strip():
                provider.setdefault(v.strip().split(" ")[0], set()).add(name)
    todo, seen = list(pkgs), set()
    while todo:
        p = todo.pop()
        if p in seen:
            continue
        seen.add(p)
        todo += list(deps.get(p, set()) | provider.get(p, set()))
    return seen


def answer(kind, module):
    """The file that answers the module here, or an explanation."""
    if kind == "pkg-config":
        r = subprocess.run(["pkg-config", "--variable=pcfiledir", module], capture_output=True, text=True)
        d = r.stdout.strip()
        return os.path.join(d, module + ".pc") if r.returncode == 0 and d else None
    for pat in ("/usr/lib/*/cmake/{0}*/{0}Config.cmake", "/usr/lib/cmake/{0}*/{0}Config.cmake",
                "/usr/share/cmake/{0}*/{0}Config.cmake", "/usr/lib/*/cmake/{1}*/{1}-config.cmake",
                "/usr/lib/cmake/{1}*/{1}-config.cmake", "/usr/share/cmake/{1}*/{1}-config.cmake"):
        hits = glob.glob(pat.format(module, module.lower()))
        if hits:
            return hits[0]
    if module in CMAKE_MODULE_NEEDS:
        return CMAKE_MODULE_NEEDS[module]() or ""
    return None


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
    listed = set(group(root, "build"))
    pulled = installed_with(listed)
    bad, seen = [], set()
    for path in sorted(cmake_files(root)):
        with open(path) as f:
            for kind, module in calls(f.read()):
                if (kind, module) in seen:
                    continue
                seen.add((kind, module))
                where = os.path.relpath(path, root)
                f_ = answer(kind, module)
                if f_ is None:
                    bad.append("%s: %s module %s: nothing on this machine provides it" % (where, kind, module))
                    continue
                if f_ == "":
                    print("ok   %-10s %-12s CMake's own module" % (kind, module))
                    continue
                pkg = owner(f_)
                if pkg is None:
                    bad.append("%s: %s module %s: %s belongs to no Debian package" % (where, kind, module, f_))
                elif pkg not in pulled:
                    bad.append("%s: %s module %s comes from %s (%s), which the build group of "
                               "scripts/packages does not hold" % (where, kind, module, pkg, f_))
                else:
                    print("ok   %-10s %-12s %s (%s)" % (kind, module, pkg, f_))
    if not seen:
        bad.append("no pkg_check_modules or find_package found under %s" % root)
    for b in bad:
        print("FAIL " + b)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
