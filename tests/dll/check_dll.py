#!/usr/bin/env python3
"""Checks the built Halvex.dll from the outside: a 32-bit PE, every export under
its MSVC and its GNU name (as generated into exports.txt), imports of system
DLLs only (the toolkit is loaded at run time, so the library loads without
it), the stand-in toolkit built both ways (stdcall-decorated and plain names),
import libraries for both toolchains, and the version resource."""

import argparse
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll", "ntdll.dll"}
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def run(*cmd):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout


def pe_exports(objdump, dll):
    text = run(objdump, "-p", dll)
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return set()
    names = set()
    for line in table[1].splitlines()[1:]:
        m = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s*$", line)
        if not m:
            break
        names.add(m.group(1))
    return names


def pe_imports(objdump, dll):
    """{dll name (lower case): [imported names]}"""
    imports, current = {}, None
    for line in run(objdump, "-p", dll).splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            current = imports.setdefault(m.group(1).lower(), [])
            continue
        m = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)
        if current is not None and m:
            current.append(m.group(1))
        elif current is not None and not line.strip():
            current = None
    return imports


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--nm", required=True, help="llvm-nm: reads both import library formats")
    ap.add_argument("--dll", required=True)
    ap.add_argument("--toolkit", required=True, help="the stand-in toolkit, decorated names")
    ap.add_argument("--toolkit-plain", required=True, help="the stand-in toolkit, plain names")
    ap.add_argument("--exports", required=True, help="exports.txt from gen_exports.py")
    ap.add_argument("--msvc-lib", required=True)
    ap.add_argument("--gnu-lib", required=True)
    ap.add_argument("--version", required=True)
    args = ap.parse_args()

    header = run(args.objdump, "-f", args.dll)
    check("file format pei-i386" in header and "architecture: i386" in header, "Halvex.dll is a 32-bit (i386) PE")
    check("DLL" in run(args.objdump, "-p", args.dll).split("Characteristics", 1)[1].split("\n\n", 1)[0],
          "Halvex.dll is marked as a DLL")

    pairs = [line.split() for line in open(args.exports, encoding="utf-8") if line.strip()]
    check(len(pairs) > 0, f"exports.txt lists {len(pairs)} exports")
    exported = pe_exports(args.objdump, args.dll)
    wanted = {name for pair in pairs for name in pair}
    for msvc, gnu in pairs:
        if msvc not in exported or gnu not in exported:
            check(False, f"exported under both names: {msvc} / {gnu}")
    check(wanted <= exported, f"all {len(pairs)} exports present under both names")
    check(exported <= wanted, "no export beyond the generated list" +
          ("" if exported <= wanted else f": {sorted(exported - wanted)[:5]}"))

    imports = pe_imports(args.objdump, args.dll)
    others = set(imports) - SYSTEM_DLLS
    check(not others, "imports only system DLLs" + (f": also {sorted(others)}" if others else ""))
    check("odsupp_m.dll" not in imports, "does not import odSupp_M.dll")

    entries = {n for n in pe_exports(args.objdump, args.toolkit) if n.startswith("ODSTK_")}
    plain = {n for n in pe_exports(args.objdump, args.toolkit_plain) if n.startswith("ODSTK_")}
    check(len(entries) == 34 and all(re.fullmatch(r"ODSTK_\w+@\d+", n) for n in entries),
          f"odSupp_M.dll exports its {len(entries)} entry points under decorated names")
    check(plain == {n.split("@")[0] for n in entries},
          "the plain-names build exports the same entry points undecorated")

    msvc_syms = set(run(args.nm, args.msvc_lib).split())
    check(all("__imp_" + m in msvc_syms for m, _ in pairs), "Halvex.lib imports every export by its MSVC name")
    check(not any(s.startswith("__imp___Z") for s in msvc_syms), "Halvex.lib names no GNU symbol")
    gnu_syms = set(run(args.nm, args.gnu_lib).split())
    check(all("__imp__" + g in gnu_syms for _, g in pairs), "libHalvex.dll.a imports every export by its GNU name")

    data = open(args.dll, "rb").read()
    for key, value in (("OriginalFilename", "Halvex.dll"), ("FileVersion", args.version),
                       ("ProductVersion", args.version)):
        pattern = key.encode("utf-16-le") + b"\0\0" + b"(?:\0\0)?" + value.encode("utf-16-le") + b"\0\0"
        check(re.search(pattern, data) is not None, f"version resource: {key} = {value}")

    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
