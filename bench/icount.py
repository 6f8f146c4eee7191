#!/usr/bin/python3
"""The instruction guard: counts the instructions each operation of the
string store executes on a fixed workload (bench/icount.cc, linked against
the linux-x64 build of the library) under valgrind's callgrind, and compares
them with bench/instructions.baseline.

Usage: bench/icount.py [--update] [--build DIR]

Builds the workload in build/linux-x64 first (configuring the preset if it
is not yet), so the counts are always those of the tree as it is; --build
DIR takes an existing build instead and builds nothing.

Fails (exit 1) when any operation's count per call grows by more than 10%
over the baseline, when an operation is missing on either side, or when the
three runs of the workload do not give the same counts. With --update it
writes the counts of this build as the new baseline instead.

The counts are made comparable from machine to machine: glibc's string
functions are held to their SSE2 versions (GLIBC_TUNABLES), as the CPU
would otherwise choose among SSE2, AVX2 and `rep movsb`/`rep stosb`, which
callgrind counts one byte at a time; symbols are bound at start-up
(LD_BIND_NOW), so no lazy binding lands in a measured loop; and the
environment is fixed.
"""
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BASELINE = os.path.join(HERE, "instructions.baseline")
TOLERANCE = 0.10
RUNS = 3
ENV = {
    "PATH": "/usr/bin:/bin",
    "LD_BIND_NOW": "1",
    "GLIBC_TUNABLES": "glibc.cpu.hwcaps=-AVX2,-AVX_Fast_Unaligned_Load,-ERMS,-FSRM,-AVX512F,-AVX512VL",
}
HEADER = """\
# Instructions per call of each string-store operation on the fixed workload
# of bench/icount.cc, counted under callgrind by bench/icount.py (linux-x64
# build; glibc's string functions held to SSE2). The guard fails when a count
# grows by more than 10%. After a change that is meant to move them, run
#     bench/icount.py --update
# (it builds the linux-x64 preset's workload first) and commit this file
# with the change.
"""


def count_once(exe):
    """Runs the workload once under callgrind; returns {operation: instructions per call}."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", exe],
            env=ENV, capture_output=True, text=True)
        if proc.returncode != 0:
            sys.exit(f"the workload failed under callgrind:\n{proc.stdout}{proc.stderr}")
        calls = {}
        for line in proc.stdout.splitlines():
            name, count = line.split()
            calls[name] = int(count)
        totals = {}
        for f in os.listdir(tmp):
            text = open(os.path.join(tmp, f)).read()
            name = re.search(r"^desc: Trigger: Client Request: (\S+)$", text, re.M)
            summary = re.search(r"^summary: (\d+)$", text, re.M)
            if name and summary:
                totals[name.group(1)] = int(summary.group(1))
    if set(calls) != set(totals):
        sys.exit(f"the workload printed {sorted(calls)} but callgrind dumped {sorted(totals)}")
    return {name: totals[name] / calls[name] for name in calls}, list(calls)


def read_baseline():
    base = {}
    if os.path.exists(BASELINE):
        for line in open(BASELINE):
            line = line.split("#")[0].split()
            if line:
                base[line[0]] = float(line[1])
    return base


def main():
    args = sys.argv[1:]
    update = "--update" in args
    build = os.path.join(ROOT, "build", "linux-x64")
    if "--build" in args:
        build = args[args.index("--build") + 1]
    else:
        steps = [["cmake", "--build", "--preset", "linux-x64", "--target", "store_icount"]]
        if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
            steps.insert(0, ["cmake", "--preset", "linux-x64"])
        for step in steps:
            proc = subprocess.run(step, cwd=ROOT, capture_output=True, text=True)
            if proc.returncode != 0:
                sys.exit(f"{' '.join(step)} failed:\n{proc.stdout[-3000:]}{proc.stderr[-3000:]}")
    exe = os.path.join(build, "bin", "store_icount")
    if not os.access(exe, os.X_OK):
        sys.exit(f"{exe} is not built (cmake --build --preset linux-x64 --target store_icount)")

    runs = [count_once(exe) for _ in range(RUNS)]
    now, order = runs[0]
    if any(r[0] != now for r in runs[1:]):
        for name in order:
            print(name, *(f"{r[0].get(name, 0):.1f}" for r in runs))
        sys.exit(f"the counts differ between {RUNS} runs of the same binary: the guard cannot judge")

    if update:
        with open(BASELINE, "w") as f:
            f.write(HEADER)
            for name in order:
                f.write(f"{name} {now[name]:.1f}\n")
        print(f"wrote {os.path.relpath(BASELINE, ROOT)}:")

    base = read_baseline()
    failed = []
    print(f"| operation | baseline | now | change |\n|---|---:|---:|---:|")
    for name in order + [n for n in base if n not in now]:
        b, n = base.get(name), now.get(name)
        change = f"{(n - b) / b * 100:+.1f}%" if b and n is not None else "–"
        verdict = ""
        if b is None or n is None:
            verdict = " **missing**"
            failed.append(name)
        elif n > b * (1 + TOLERANCE):
            verdict = " **over 10%**"
            failed.append(name)
        elif n < b * (1 - TOLERANCE):
            verdict = " (fewer: --update to keep the gain)"
        fmt = lambda x: "–" if x is None else f"{x:,.1f}"
        print(f"| {name} | {fmt(b)} | {fmt(n)} | {change}{verdict} |")
    print(f"\n{RUNS} runs, identical counts.")
    if failed:
        print(f"FAILED: {', '.join(failed)}; if the change is meant, run bench/icount.py --update "
              f"and commit bench/instructions.baseline with it")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
