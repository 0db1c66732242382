#!/usr/bin/env python3
"""Checks the built Halvex.dll from the outside: a 32-bit PE, every export under
its MSVC and its GNU name (as generated into exports.txt) and the seam's C
calls under their plain names, nothing else, imports of system
DLLs only (the toolkit is loaded at run time, so the library loads without
it), the stand-in toolkit built both ways (stdcall-decorated and plain names),
import libraries for both toolchains, and the version resource. Then
HalvexSim.dll: its C calls only, importing the seam from Halvex.dll."""

import argparse
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, run, summary  # noqa: E402

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll", "ntdll.dll"}


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


def check_sim(args):
    check("file format pei-i386" in run(args.objdump, "-f", args.sim_dll), "HalvexSim.dll is a 32-bit (i386) PE")
    exported = pe_exports(args.objdump, args.sim_dll)
    strays = sorted(n for n in exported if not re.fullmatch(r"HalvexSim\w+", n))
    check(not strays, "HalvexSim.dll exports its C calls only" + (f": {strays[:5]}" if strays else ""))
    check({"HalvexSimStart", "HalvexSimStop"} <= exported, "HalvexSim.dll exports HalvexSimStart and HalvexSimStop")
    imports = pe_imports(args.objdump, args.sim_dll)
    others = set(imports) - SYSTEM_DLLS - {"halvex.dll", "odsupp_m.dll"}
    check(not others, "HalvexSim.dll imports system DLLs, Halvex.dll and odSupp_M.dll only" +
          (f": also {sorted(others)}" if others else ""))
    seam = imports.get("halvex.dll", [])
    check(bool(seam) and all(n.startswith("HalvexSeam") for n in seam),
          f"HalvexSim.dll reaches Halvex.dll through the seam alone: {seam}")
    for lib in (args.sim_msvc_lib, args.sim_gnu_lib):
        syms = set(run(args.nm, lib).split())
        check({"__imp__" + n for n in exported} <= syms, f"{lib.rsplit('/', 1)[-1]} imports every HalvexSim call")


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
    ap.add_argument("--c-exports", required=True, help="exports_c.txt from gen_exports.py")
    ap.add_argument("--api-count", type=int, required=True, help="exports expected under both names")
    ap.add_argument("--c-export", action="append", default=[], help="a C export expected under its plain name")
    ap.add_argument("--sim-dll", required=True)
    ap.add_argument("--sim-msvc-lib", required=True)
    ap.add_argument("--sim-gnu-lib", required=True)
    args = ap.parse_args()

    header = run(args.objdump, "-f", args.dll)
    check("file format pei-i386" in header and "architecture: i386" in header, "Halvex.dll is a 32-bit (i386) PE")
    check("DLL" in run(args.objdump, "-p", args.dll).split("Characteristics", 1)[1].split("\n\n", 1)[0],
          "Halvex.dll is marked as a DLL")

    pairs = [line.split() for line in open(args.exports, encoding="utf-8") if line.strip()]
    check(len(pairs) == args.api_count, f"exports.txt lists {len(pairs)} exports, {args.api_count} expected")
    c_exports = [line.strip() for line in open(args.c_exports, encoding="utf-8") if line.strip()]
    check(sorted(c_exports) == sorted(args.c_export), f"exports_c.txt lists the C exports: {c_exports}")
    exported = pe_exports(args.objdump, args.dll)
    check(set(args.c_export) <= exported, "the C exports are exported under their plain names")
    wanted = {name for pair in pairs for name in pair} | set(args.c_export)
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
    check(all("__imp__" + n in msvc_syms and "__imp__" + n in gnu_syms for n in args.c_export),
          "both import libraries import the C exports by their cdecl names")

    data = open(args.dll, "rb").read()
    for key, value in (("OriginalFilename", "Halvex.dll"), ("FileVersion", args.version),
                       ("ProductVersion", args.version)):
        pattern = key.encode("utf-16-le") + b"\0\0" + b"(?:\0\0)?" + value.encode("utf-16-le") + b"\0\0"
        check(re.search(pattern, data) is not None, f"version resource: {key} = {value}")

    check_sim(args)

    return summary()


if __name__ == "__main__":
    sys.exit(main())
