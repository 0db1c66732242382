#!/usr/bin/env python3
"""Checks an installed tree from the outside: what each shared library exports
(libHalvex: the API's C++ functions and the C seam; libHalvexSim: its C calls,
taking the seam from libHalvex;
libhxwin32: the emulated calls, none of libstdc++'s code), the SONAMEs and
their links, the utility's run path, completions and man page, and the headers and
package files."""

import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, run, summary  # noqa: E402


def exported(nm, lib, demangle):
    """[(type, name)] of the dynamic symbols `lib` defines."""
    out = run(nm, "-D", "--defined-only", *(["-C"] if demangle else []), lib)
    symbols = []
    for line in out.splitlines():
        m = re.match(r"[0-9a-f]+ (\S) (.+)$", line)
        if m:
            symbols.append((m.group(1), m.group(2)))
    return symbols


def dynamic(readelf, lib, tag):
    return re.findall(rf"\({tag}\)\s+.*\[(.*)\]", run(readelf, "-d", lib))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--libdir", required=True, help="relative to the prefix")
    ap.add_argument("--bindir", required=True, help="relative to the prefix")
    ap.add_argument("--nm", default="nm")
    ap.add_argument("--readelf", default="readelf")
    args = ap.parse_args()
    lib = os.path.join(args.prefix, args.libdir)

    halvex = os.path.join(lib, "libHalvex.so.1")
    symbols = exported(args.nm, halvex, demangle=True)
    seam = sorted(n for t, n in symbols if n.startswith("HalvexSeam"))
    api = [(t, n) for t, n in symbols if not n.startswith("HalvexSeam")]
    check(seam == ["HalvexSeamRegisterDevice", "HalvexSeamRegisterHandleDevice", "HalvexSeamUnregisterDevice"],
          f"libHalvex exports the seam's three calls: {seam}")
    strays = [n for t, n in api if t != "T" or not re.match(r"Halvex\w*\(", n)]
    check(not strays, "libHalvex exports nothing but Halvex* functions" + (f": {strays[:5]}" if strays else ""))
    check(len(api) == 149, f"libHalvex exports the API's 149 functions: {len(api)}")
    raw = [n for _, n in exported(args.nm, halvex, demangle=False) if not n.startswith("HalvexSeam")]
    check(all(n.startswith("_Z") for n in raw), "the API keeps its C++ names")

    sim = exported(args.nm, os.path.join(lib, "libHalvexSim.so.1"), demangle=False)
    strays = [n for t, n in sim if t != "T" or not re.fullmatch(r"HalvexSim\w+", n)]
    check(not strays, "libHalvexSim exports nothing but HalvexSim* C functions" +
          (f": {strays[:5]}" if strays else ""))
    names = {n for _, n in sim}
    check({"HalvexSimStart", "HalvexSimStop"} <= names, "libHalvexSim exports HalvexSimStart and HalvexSimStop")
    # One copy of the library per process: the machine takes the seam from libHalvex.
    undefined = run(args.nm, "-D", "--undefined-only", os.path.join(lib, "libHalvexSim.so.1")).split()
    check("HalvexSeamRegisterHandleDevice" in undefined, "libHalvexSim takes the seam from libHalvex")

    win32 = {n for _, n in exported(args.nm, os.path.join(lib, "libhxwin32.so.1"), demangle=True)}
    strays = sorted(n for n in win32 if n.startswith(("std::", "__gnu_cxx::", "typeinfo", "vtable")))
    check(not strays, "libhxwin32 keeps libstdc++'s code to itself" + (f": {strays[:3]}" if strays else ""))
    check({"CreateEventA(void*, int, int, char const*)", "SendMessageA(HWND__*, unsigned int, unsigned long, long)"}
          <= win32, "libhxwin32 exports the emulated calls")

    for name in ("libHalvex", "libHalvexSim", "libhxwin32"):
        path = os.path.join(lib, name + ".so.1")
        check(dynamic(args.readelf, path, "SONAME") == [name + ".so.1"], f"{name}: SONAME {name}.so.1")
        check(os.readlink(os.path.join(lib, name + ".so")) == name + ".so.1" and
              os.readlink(path) == name + ".so.1.0.0" and os.path.isfile(path + ".0.0"),
              f"{name}.so -> {name}.so.1 -> {name}.so.1.0.0")
        check(dynamic(args.readelf, path, "RUNPATH") == ["$ORIGIN"], f"{name}: run path $ORIGIN")
    check(os.path.isfile(os.path.join(lib, "odSupp_M.so")), "odSupp_M.so installed")

    tool = os.path.join(args.prefix, args.bindir, "halvexctl")
    up = os.path.relpath(lib, os.path.dirname(tool))
    check(dynamic(args.readelf, tool, "RUNPATH") == ["$ORIGIN/" + up], f"halvexctl: run path $ORIGIN/{up}")
    resolved = dict(re.findall(r"(lib(?:Halvex|HalvexSim|hxwin32)\.so\.1|odSupp_M\.so) => (\S+)",
                               run("ldd", tool)))
    check(sorted(resolved) == ["libHalvex.so.1", "libHalvexSim.so.1", "libhxwin32.so.1", "odSupp_M.so"] and
          all(os.path.realpath(p).startswith(os.path.realpath(lib) + os.sep) for p in resolved.values()),
          f"halvexctl finds its libraries in the prefix: {resolved}")

    # The machine's service beside the utility, finding the same libraries.
    service = os.path.join(args.prefix, args.bindir, "halvex-simd")
    check(os.access(service, os.X_OK), "halvex-simd installed beside halvexctl")
    check(dynamic(args.readelf, service, "RUNPATH") == ["$ORIGIN/" + up], f"halvex-simd: run path $ORIGIN/{up}")

    # The machine's package brings the library's: a caller may name only it.
    env = dict(os.environ, PKG_CONFIG_LIBDIR=os.path.join(lib, "pkgconfig"), PKG_CONFIG_PATH="")
    libs = subprocess.run(["pkg-config", "--libs", "halvexsim"], env=env, stdout=subprocess.PIPE,
                          text=True).stdout.split()
    check("-lHalvexSim" in libs and "-lHalvex" in libs, f"pkg-config --libs halvexsim: {' '.join(libs)}")

    include = os.path.join(args.prefix, "include")
    for header in ("Halvex.h", "HalvexTypes.h", "HalvexSeam.h", "HalvexSim.h", "hxwin32/winapi.h"):
        check(os.path.isfile(os.path.join(include, header)), f"header {header}")
    for f in ("cmake/Halvex/HalvexConfig.cmake", "cmake/Halvex/HalvexConfigVersion.cmake",
              "pkgconfig/halvex.pc", "pkgconfig/halvexsim.pc", "pkgconfig/hxwin32.pc"):
        check(os.path.isfile(os.path.join(lib, f)), f"package file {f}")
    # The utility's completions and man page, where bash, zsh and man look for them.
    share = os.path.join(args.prefix, "share")
    for f, starts in (("bash-completion/completions/halvexctl", "# bash completion for halvexctl"),
                      ("zsh/site-functions/_halvexctl", "#compdef halvexctl"), ("man/man1/halvexctl.1", ".")):
        path = os.path.join(share, f)
        with open(path, encoding="utf-8") if os.path.isfile(path) else open(os.devnull) as text:
            check(text.read().startswith(starts), f"{f} installed")

    return summary()


if __name__ == "__main__":
    sys.exit(main())
