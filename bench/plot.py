#!/usr/bin/python3
"""Turns one run of store_bench (its JSON output) into the plot of cost per
operation against live strings, and prints the run's tables and targets as
Markdown.

Usage: bench/plot.py RUN.json [PLOT.png]
"""
import json
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

STORES = ["lib", "glibc", "model"]
SMALL_OPS = ["put", "get", "len", "cmp", "dup", "free", "cycle", "churn"]
ORDERED = {"get", "len", "cmp", "dup", "free"}  # run in put order and in random order
LIVE = [1000, 10000, 100000, 1000000]
LARGE = [1024, 9000, 65535]


def load(path):
    """Returns {(store, op, order, arg): result} with each benchmark's median
    over its repetitions (the single run where there was one), and the
    run's context."""
    with open(path) as f:
        run = json.load(f)
    results = {}
    for b in run["benchmarks"]:
        single = b.get("repetitions", 1) == 1
        if not (b.get("aggregate_name") == "median" or (single and b["run_type"] == "iteration")):
            continue
        parts = [p for p in b["run_name"].split("/") if ":" not in p and p != "manual_time"]
        store, op, rest = parts[0], parts[1], parts[2:]
        order = rest.pop(0) if rest and rest[0] in ("seq", "rand") else ""
        arg = int(rest[0]) if rest else 0
        results[(store, op, order, arg)] = b
    return results, run["context"]


def ns(b):
    """Nanoseconds per operation: the median batch of the benchmark."""
    return b["op"] * 1e9 if b else None


def fmt(x, digits=1):
    if x is None:
        return "–"
    if x >= 1000:
        return f"{x:,.0f}"
    return f"{x:.{digits}f}"


def rows_small(results):
    for op in SMALL_OPS:
        for order in (["seq", "rand"] if op in ORDERED else [""]):
            yield op, order


def small_table(results, store):
    lines = ["| operation | " + " | ".join(f"{n:,}" for n in LIVE) + " | 1M ÷ 1k |",
             "|---|" + "---:|" * (len(LIVE) + 1)]
    for op, order in rows_small(results):
        cells = [ns(results.get((store, op, order, n))) for n in LIVE]
        if all(c is None for c in cells):
            continue
        ratio = cells[-1] / cells[0] if cells[0] and cells[-1] else None
        label = f"{op} ({order})" if order else op
        lines.append(f"| {label} | " + " | ".join(fmt(c) for c in cells) + f" | {fmt(ratio, 2)}× |")
    return "\n".join(lines)


def versus_table(results):
    lines = ["| operation | " + " | ".join(f"{n:,}" for n in LIVE) + " |",
             "|---|" + "---:|" * len(LIVE)]
    for op, order in rows_small(results):
        cells = []
        for n in LIVE:
            a, b = ns(results.get(("lib", op, order, n))), ns(results.get(("glibc", op, order, n)))
            cells.append(a / b if a and b else None)
        label = f"{op} ({order})" if order else op
        lines.append(f"| {label} | " + " | ".join(fmt(c, 2) + "×" for c in cells) + " |")
    return "\n".join(lines)


def large_table(results):
    lines = ["| bytes | put lib | put glibc | put model | get lib | get glibc (memcpy) | get model | lib get ÷ memcpy |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for size in LARGE:
        put = [ns(results.get((s, "put_large", "", size))) for s in STORES]
        get = [ns(results.get((s, "get_large", "", size))) for s in STORES]
        ratio = get[0] / get[1] if get[0] and get[1] else None
        lines.append(f"| {size:,} | " + " | ".join(fmt(x) for x in put + get) + f" | {fmt(ratio, 2)}× |")
    return "\n".join(lines)


def other_tables(results):
    out = ["| store | resident bytes per string | malloc in-use bytes per string | put while filling (ns) |",
           "|---|---:|---:|---:|"]
    for s in ("lib", "glibc"):
        b = results.get((s, "memory", "", 1000000))
        if b:
            out.append(f"| {s} | {b['resident_per_string']:.2f} | {b['heap_per_string']:.2f} | {fmt(ns(b))} |")
    out += ["", "| store | strings | wall time (s) | CPU time (s) | ns per put |", "|---|---:|---:|---:|---:|"]
    for s in ("lib", "glibc"):
        b = results.get((s, "fill", "", 0))
        if b:
            out.append(f"| {s} | {b['strings']:,.0f} | {b['real_time'] / 1e9:.2f} | "
                       f"{b['cpu_time'] / 1e9:.2f} | {fmt(ns(b))} |")
    lib, libc = (ns(results.get((s, "cycle_full_blocks", "", 1024))) for s in ("lib", "glibc"))
    if lib and libc:
        out += ["", f"put, get, free beside 1,024 live strings (every block full): lib {fmt(lib)} ns, "
                    f"glibc {fmt(libc)} ns."]
    b = results.get(("lib", "put_full", "", 0))
    if b:
        out += ["", f"A put into the full pool fails in {fmt(ns(b))} ns."]
    return "\n".join(out)


def targets(results):
    """Yields (target, measured, met) for each target of the run."""
    def get(*key):
        return ns(results.get(key))

    for op in ("put", "get", "free", "dup"):
        for order in (["seq", "rand"] if op in ORDERED else [""]):
            small, big = get("lib", op, order, 1000), get("lib", op, order, 1000000)
            if small and big:
                label = f"{op} ({order})" if order else op
                yield (f"{label} at 1M ≤ 1.5 × at 1k", f"{fmt(big)} / {fmt(small)} ns = {big / small:.2f}×",
                       big <= 1.5 * small)
    lib, libc = get("lib", "cycle", "", 1000000), get("glibc", "cycle", "", 1000000)
    if lib and libc:
        yield ("put+get+free at 1M ≤ glibc", f"{fmt(lib)} vs {fmt(libc)} ns = {lib / libc:.2f}×", lib <= libc)
    b = results.get(("lib", "memory", "", 1000000))
    if b:
        yield ("resident bytes per string at 1M ≤ 37", f"{b['resident_per_string']:.2f}",
               b["resident_per_string"] <= 37)
    lib, libc = get("lib", "get_large", "", 65535), get("glibc", "get_large", "", 65535)
    if lib and libc:
        yield ("get of 65,535 bytes ≥ ½ memcpy speed", f"{fmt(lib)} vs {fmt(libc)} ns = {libc / lib:.2f} of memcpy speed",
               lib <= 2 * libc)
    b = results.get(("lib", "fill", "", 0))
    if b:
        yield ("fill to 65,534 blocks in seconds", f"{b['real_time'] / 1e9:.1f} s", b["real_time"] < 60e9)


def plot(results, path):
    fig, axes = plt.subplots(2, 4, figsize=(16, 8), sharex=True)
    colours = {"lib": "tab:blue", "glibc": "tab:orange", "model": "tab:green"}
    for ax, op in zip(axes.flat, SMALL_OPS):
        for store in STORES:
            for order in (["seq", "rand"] if op in ORDERED else [""]):
                points = [(n, ns(results.get((store, op, order, n)))) for n in LIVE]
                points = [(n, y) for n, y in points if y]
                if not points:
                    continue
                label = f"{store} {order}".strip()
                ax.plot(*zip(*points), marker="o", color=colours[store],
                        linestyle="--" if order == "rand" else "-", label=label)
        ax.set_title(op)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.grid(True, which="both", alpha=0.3)
    for ax in axes[1]:
        ax.set_xlabel("live strings")
    for ax in axes[:, 0]:
        ax.set_ylabel("ns per operation (median)")
    handles, labels = {}, []
    for ax in axes.flat:
        for h, l in zip(*ax.get_legend_handles_labels()):
            handles.setdefault(l, h)
    fig.legend(list(handles.values()), list(handles.keys()), loc="lower center", ncol=6)
    fig.suptitle("String store: cost per operation against live small strings (5–30 bytes)")
    fig.tight_layout(rect=(0, 0.05, 1, 0.97))
    fig.savefig(path, dpi=100)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    results, context = load(sys.argv[1])
    plot(results, sys.argv[2] if len(sys.argv) > 2 else "bench/cost_per_op.png")
    reps = max(b.get("repetitions", 1) for b in results.values())
    print(f"Run of {context['date']}, {context['num_cpus']} CPUs at {context['mhz_per_cpu']} MHz, "
          f"load average {', '.join(f'{x:.1f}' for x in context['load_avg'])}; "
          f"medians of {reps} repetitions, ns per operation.\n")
    for store in STORES:
        print(f"#### {store}\n\n{small_table(results, store)}\n")
    print(f"#### lib ÷ glibc\n\n{versus_table(results)}\n")
    print(f"#### Large strings (ns per operation)\n\n{large_table(results)}\n")
    print(f"#### Memory and the block limit\n\n{other_tables(results)}\n")
    print("#### Targets\n\n| target | measured | met |\n|---|---|---|")
    for name, measured, met in targets(results):
        print(f"| {name} | {measured} | {'yes' if met else '**no**'} |")


if __name__ == "__main__":
    main()
