#!/usr/bin/env python3
"""Generates the DLL's export list from include/Halvex.h.

Every `HALVEX_API` declaration becomes an entry of a reference C++ file that
takes the export's address with its exact function type. Compiling that file
for i686-pc-windows-msvc (clang) and for i686-w64-mingw32 (g++) yields each
export's MSVC and GNU decorated names; the table's relocations pair them by
position. Exports whose GNU symbol the built library defines go into:

  Halvex.def        both names: the MSVC name as an alias of the GNU one
  Halvex.msvc.def   the MSVC names only, for Halvex.lib
  exports.txt       "msvcname gnuname" per line, for the tests of the DLL
  exports_c.txt     the C exports (--c-header): one name, the same for both
                    toolchains (cdecl, undecorated)
  exports_present.h HALVEX_EXPORTED_<Name>_<k> for each defined export, k
                    counting the overloads of <Name> in header order, so a
                    caller compiles only the calls the DLL has
"""

import argparse
import os
import re
import subprocess
import sys


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def split_params(params):
    """Splits a parameter list at top-level commas."""
    parts, depth, current = [], 0, ""
    for ch in params:
        if ch in "(<[":
            depth += 1
        elif ch in ")>]":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += ch
    if current.strip():
        parts.append(current)
    return [p.strip() for p in parts]


def parse_exports(header):
    """[(return type, name, parameter list)] for each HALVEX_API declaration."""
    with open(header, encoding="utf-8") as f:
        text = strip_comments(f.read())
    lines = [l for l in text.splitlines() if not l.lstrip().startswith("#")]
    text = " ".join(lines)
    exports = []
    for decl in re.findall(r"\bHALVEX_API\b(.*?);", text, flags=re.S):
        decl = " ".join(decl.split())
        m = re.match(r"^(.*?)\b([A-Za-z_]\w*)\s*\((.*)\)\s*$", decl)
        if not m:
            sys.exit(f"gen_exports: cannot read declaration: {decl}")
        ret, name, params = m.group(1).strip(), m.group(2), m.group(3)
        # A default argument is not part of the type.
        params = ", ".join(p.split("=")[0].strip() for p in split_params(params))
        exports.append((ret, name, params))
    return exports


def parse_c_exports(spec):
    """Names declared with MACRO in HEADER ("HEADER:MACRO"): C functions."""
    header, macro = spec.rsplit(":", 1)
    with open(header, encoding="utf-8") as f:
        text = strip_comments(f.read())
    text = " ".join(l for l in text.splitlines() if not l.lstrip().startswith("#"))
    names = re.findall(rf"\b{re.escape(macro)}\b[^;(]*?\b([A-Za-z_]\w*)\s*\(", text)
    if not names:
        sys.exit(f"gen_exports: no {macro} declaration in {header}")
    return names


def write_reference(path, exports):
    out = [
        "// Generated from Halvex.h by win/gen_exports.py: the address of every",
        "// export, taken with its exact type.",
        '#include "Halvex.h"',
        "",
    ]
    for i, (ret, _, params) in enumerate(exports):
        out.append(f"typedef {ret} (*HalvexExport{i})({params});")
    out.append("struct HalvexExportTable {")
    for i in range(len(exports)):
        out.append(f"  HalvexExport{i} f{i};")
    out.append("};")
    out.append('extern "C" const HalvexExportTable halvex_export_table = {')
    for i, (_, name, _) in enumerate(exports):
        out.append(f"    static_cast<HalvexExport{i}>(&{name}),")
    out.append("};")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


def run(cmd):
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        sys.exit(f"gen_exports: failed: {' '.join(cmd)}")
    return result.stdout


def table_symbols(objdump, obj, count):
    """The symbols the table's 4-byte relocations name, in table order."""
    by_offset = {}
    for line in run([objdump, "-r", obj]).splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] in ("IMAGE_REL_I386_DIR32", "dir32", "DIR32"):
            by_offset[int(fields[0], 16)] = fields[2].strip('"')
    if sorted(by_offset) != [4 * i for i in range(count)]:
        sys.exit(f"gen_exports: {obj}: expected {count} table entries, found {len(by_offset)}")
    return [by_offset[4 * i] for i in range(count)]


def defined_symbols(nm, libraries):
    names = set()
    for lib in libraries:
        for line in run([nm, "-g", "--defined-only", lib]).splitlines():
            fields = line.split()
            if len(fields) == 3 and fields[1] in "TtWw":
                names.add(fields[2])
    return names


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--header", required=True)
    ap.add_argument("--include", action="append", default=[])
    ap.add_argument("--out", required=True, help="output directory")
    ap.add_argument("--dll", default="Halvex.dll")
    ap.add_argument("--gnu-cxx", required=True)
    ap.add_argument("--msvc-cxx", required=True, help="clang++ able to target i686-pc-windows-msvc")
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--nm", required=True)
    ap.add_argument("--defined-in", action="append", default=[], help="library whose definitions count")
    ap.add_argument("--c-header", action="append", default=[], metavar="HEADER:MACRO",
                    help="C functions declared with MACRO in HEADER, exported under their plain names")
    args = ap.parse_args()

    exports = parse_exports(args.header)
    os.makedirs(args.out, exist_ok=True)
    ref = os.path.join(args.out, "exports_ref.cpp")
    write_reference(ref, exports)
    includes = [f"-I{d}" for d in args.include]
    gnu_obj = os.path.join(args.out, "exports_ref.gnu.o")
    msvc_obj = os.path.join(args.out, "exports_ref.msvc.obj")
    run([args.gnu_cxx, "-std=c++20", "-Wall", "-Wextra", "-Werror", *includes, "-c", ref, "-o", gnu_obj])
    run([args.msvc_cxx, "--target=i686-pc-windows-msvc", "-std=c++20", "-Wall", "-Wextra", "-Werror",
         *includes, "-c", ref, "-o", msvc_obj])

    gnu = table_symbols(args.objdump, gnu_obj, len(exports))
    msvc = table_symbols(args.objdump, msvc_obj, len(exports))
    defined = defined_symbols(args.nm, args.defined_in)

    pairs, missing, present, overloads = [], [], [], {}
    for (_, name, _), g, m in zip(exports, gnu, msvc):
        if not g.startswith("__Z") or not m.startswith("?"):
            sys.exit(f"gen_exports: unexpected names for {name}: {g} {m}")
        k = overloads[name] = overloads.get(name, -1) + 1
        if g in defined:
            pairs.append((m, g[1:]))  # the .def names C symbols without i386's '_'
            present.append(f"#define HALVEX_EXPORTED_{name}_{k} 1\n")
        else:
            missing.append(name)
    if len({m for m, _ in pairs}) != len(pairs):
        sys.exit("gen_exports: two exports share an MSVC name")
    # i386 C names carry a leading '_' in the objects, not in the .def.
    c_names = [n for spec in args.c_header for n in parse_c_exports(spec)]
    c_exports = [n for n in c_names if "_" + n in defined]
    missing += [n for n in c_names if n not in c_exports]
    present += [f"#define HALVEX_EXPORTED_{n}_0 1\n" for n in c_exports]

    header = f'LIBRARY "{args.dll}"\nEXPORTS\n'
    write(os.path.join(args.out, "Halvex.def"),
                     header + "".join(f'  "{m}" = {g}\n  {g}\n' for m, g in pairs)
                     + "".join(f"  {n}\n" for n in c_exports))
    write(os.path.join(args.out, "Halvex.msvc.def"),
          header + "".join(f'  "{m}"\n' for m, _ in pairs) + "".join(f"  {n}\n" for n in c_exports))
    write(os.path.join(args.out, "exports_present.h"),
          "// Generated by win/gen_exports.py: the exports Halvex.dll has.\n#pragma once\n" + "".join(present))
    write(os.path.join(args.out, "exports.txt"), "".join(f"{m} {g}\n" for m, g in pairs))
    write(os.path.join(args.out, "exports_c.txt"), "".join(f"{n}\n" for n in c_exports))
    print(f"gen_exports: {len(pairs) + len(c_exports)} of {len(exports) + len(c_names)} declared exports defined"
          + (f"; not yet: {len(missing)}" if missing else ""))


if __name__ == "__main__":
    main()
