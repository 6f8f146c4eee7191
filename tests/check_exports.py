#!/usr/bin/env python3
"""Checks a built library's export table against the interface.

The interface is the set of functions the public header declares. The .def
must give each of them its fixed ordinal (the rank of the name in ASCII
order among all 44 names); the ELF version script must list the same names.
A DLL must export exactly those names with those ordinals and import from
KERNEL32 and MSVCRT only; a shared object must export exactly those names.
"""
import argparse
import re
import subprocess
import sys

ALL_NAMES = sorted("""
MakeListEntry RemoveListEntry ZfdClose ZfdFindClose ZfdFindFirst ZfdFindNext ZfdOpen ZfdRead
ZfdSetErrorMode ZfdWrite ZmdAlloc ZmdCloseHandle ZmdCreateMutex ZmdDPMIGetVersion ZmdExecute
ZmdFindWindow ZmdFree ZmdFreeLibrary ZmdGetCurrentTask ZmdGetModuleFileName ZmdGetProcAddress
ZmdGetWinFlags ZmdIsValidMutex ZmdLoadLibrary ZmdOpenMutex ZmdReAlloc ZmdRegisterMessage
ZmdReleaseMutex ZmdSendMessage ZmdWaitForSingleObject ZmsCmp ZmsDup ZmsFree ZmsGet ZmsLen
ZmsPtr ZmsPut hstrcmp hstrdup hstrfree hstrget hstrlen hstrptr hstrput""".split())
ORDINAL = {name: i + 1 for i, name in enumerate(ALL_NAMES)}
ALLOWED_IMPORTS = {"kernel32.dll", "msvcrt.dll"}

failures = []


def check(ok, message):
    if not ok:
        failures.append(message)


def header_names(path):
    text = open(path).read()
    return set(re.findall(r"TBX_CALL\s+(\w+)\s*\(", text))


def def_entries(path):
    entries = {}
    in_exports = False
    for line in open(path):
        line = line.split(";")[0].strip()
        if line == "EXPORTS":
            in_exports = True
        elif in_exports and line:
            m = re.fullmatch(r"(\w+)\s+@(\d+)", line)
            check(m is not None, f".def: cannot read '{line}'")
            if m:
                entries[m.group(1)] = int(m.group(2))
    return entries


def map_names(path):
    text = re.sub(r"/\*.*?\*/", "", open(path).read(), flags=re.S)
    body = re.search(r"global:(.*?)local:", text, re.S)
    return set(re.findall(r"(\w+)\s*;", body.group(1))) if body else set()


def pe_tables(objdump, path):
    out = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
    base = re.search(r"Ordinal Base\s+(\d+)", out)
    base = int(base.group(1)) if base else 0
    exports = {}
    table = out.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) == 2:
        # Each line is "[ordinal - base] name"; the table ends at a blank line.
        for line in table[1].lstrip("\n").split("\n\n", 1)[0].splitlines():
            m = re.fullmatch(r"\s*\[\s*(\d+)\]\s+(\S+)\s*", line)
            if m:
                exports[m.group(2)] = int(m.group(1)) + base
    imports = {m.group(1).lower() for m in re.finditer(r"DLL Name:\s*(\S+)", out)}
    return exports, imports


def elf_exports(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] not in ("A",):
            names.add(parts[2].split("@")[0])
    return names


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--header", required=True)
    ap.add_argument("--def", dest="def_file", required=True)
    ap.add_argument("--map")
    ap.add_argument("--objdump")
    ap.add_argument("library")
    args = ap.parse_args()

    declared = header_names(args.header)
    check(declared <= set(ALL_NAMES), f"header declares unknown names: {sorted(declared - set(ALL_NAMES))}")
    entries = def_entries(args.def_file)
    check(set(entries) == declared,
          f".def and header differ: {sorted(set(entries) ^ declared)}")
    for name, ordinal in entries.items():
        check(ORDINAL.get(name) == ordinal, f".def: {name} has @{ordinal}, wants @{ORDINAL.get(name)}")

    if args.objdump:
        exports, imports = pe_tables(args.objdump, args.library)
        check(set(exports) == declared,
              f"DLL exports differ from the interface: extra {sorted(set(exports) - declared)}, "
              f"missing {sorted(declared - set(exports))}")
        for name, ordinal in exports.items():
            check(ordinal == ORDINAL.get(name), f"DLL: {name} exported @{ordinal}, wants @{ORDINAL.get(name)}")
        check(imports <= ALLOWED_IMPORTS, f"DLL imports more than KERNEL32 and MSVCRT: {sorted(imports)}")
        print(f"{len(exports)} exports with their ordinals; imports: {', '.join(sorted(imports))}")
    else:
        mapped = map_names(args.map)
        check(mapped == declared, f"version script and header differ: {sorted(mapped ^ declared)}")
        exported = elf_exports(args.library)
        check(exported == declared,
              f"shared object exports differ: extra {sorted(exported - declared)}, "
              f"missing {sorted(declared - exported)}")
        print(f"{len(exported)} exports")

    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
