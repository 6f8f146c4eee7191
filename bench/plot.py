#!/usr/bin/python3
"""Turns one run of store_bench (its JSON output) into the tables and
targets of the run as Markdown, and, given a file name, the plot of cost per
operation against live strings.

Usage: bench/plot.py RUN.json [PLOT.png]

The run may hold any of the stores: the library ("lib"), the C runtime's
heap ("glibc" on Linux, "crt" on Windows), the peer allocators and the
literal model. Ratios are the library's time divided by the other's.
"""
import json
import sys

STORES = ["lib", "glibc", "crt", "mimalloc", "jemalloc", "tcmalloc", "model"]
HEAPS = ["glibc", "crt", "mimalloc", "jemalloc", "tcmalloc"]  # one heap block per string
SMALL_OPS = ["put", "get", "len", "cmp", "dup", "free", "cycle", "churn"]
ORDERED = {"get", "len", "cmp", "dup", "free"}  # run in put order and in random order
LIVE = [1000, 10000, 100000, 1000000]
LARGE = [1024, 9000, 65535]
COLOURS = {"lib": "tab:blue", "glibc": "tab:orange", "crt": "tab:orange", "mimalloc": "tab:red",
           "jemalloc": "tab:purple", "tcmalloc": "tab:brown", "model": "tab:green"}


def load(path):
    """Returns {(store, op, order, arg): result} with each benchmark's median
    over its repetitions (the single run where there was one), the stores
    present in run order, and the run's context."""
    with open(path) as f:
        run = json.load(f)
    results = {}
    for b in run["benchmarks"]:
        single = b.get("repetitions", 1) == 1
        if b.get("error_occurred"):
            continue
        if not (b.get("aggregate_name") == "median" or (single and b["run_type"] == "iteration")):
            continue
        parts = [p for p in b["run_name"].split("/") if ":" not in p and p != "manual_time"]
        store, op, rest = parts[0], parts[1], parts[2:]
        order = rest.pop(0) if rest and rest[0] in ("seq", "rand") else ""
        arg = int(rest[0]) if rest else 0
        results[(store, op, order, arg)] = b
    present = {k[0] for k in results}
    return results, [s for s in STORES if s in present], run["context"]


def ns(b):
    """Nanoseconds per operation: the median batch of the benchmark."""
    return b["op"] * 1e9 if b else None


def fmt(x, digits=1):
    if x is None:
        return "–"
    if x >= 1000:
        return f"{x:,.0f}"
    return f"{x:.{digits}f}"


def ratio(a, b):
    return a / b if a and b else None


def orders(op):
    return ["seq", "rand"] if op in ORDERED else [""]


def label(op, order):
    return f"{op} ({order})" if order else op


def small_table(results, store):
    lines = ["| operation | " + " | ".join(f"{n:,}" for n in LIVE) + " | 1M ÷ 1k |",
             "|---|" + "---:|" * (len(LIVE) + 1)]
    for op in SMALL_OPS:
        for order in orders(op):
            cells = [ns(results.get((store, op, order, n))) for n in LIVE]
            if all(c is None for c in cells):
                continue
            lines.append(f"| {label(op, order)} | " + " | ".join(fmt(c) for c in cells) +
                         f" | {fmt(ratio(cells[-1], cells[0]), 2)}× |")
    return "\n".join(lines)


def versus_table(results, base):
    lines = ["| operation | " + " | ".join(f"{n:,}" for n in LIVE) + " |",
             "|---|" + "---:|" * len(LIVE)]
    for op in SMALL_OPS:
        for order in orders(op):
            cells = [ratio(ns(results.get(("lib", op, order, n))), ns(results.get((base, op, order, n))))
                     for n in LIVE]
            lines.append(f"| {label(op, order)} | " + " | ".join(fmt(c, 2) + "×" for c in cells) + " |")
    return "\n".join(lines)


def stores_table(results, stores, n):
    """Every store side by side at n live strings, and the library's time
    over each heap's."""
    heaps = [s for s in stores if s in HEAPS]
    lines = ["| operation | " + " | ".join(stores) + " | " + " | ".join(f"lib ÷ {h}" for h in heaps) + " |",
             "|---|" + "---:|" * (len(stores) + len(heaps))]
    for op in SMALL_OPS:
        for order in orders(op):
            t = {s: ns(results.get((s, op, order, n))) for s in stores}
            lines.append(f"| {label(op, order)} | " + " | ".join(fmt(t[s]) for s in stores) + " | " +
                         " | ".join(fmt(ratio(t["lib"], t[h]), 2) + "×" for h in heaps) + " |")
    return "\n".join(lines)


def large_table(results, stores):
    heaps = [s for s in stores if s in HEAPS]
    lines = ["| operation | bytes | " + " | ".join(stores) + " | " +
             " | ".join(f"lib ÷ {h}" for h in heaps) + " |",
             "|---|---:|" + "---:|" * (len(stores) + len(heaps))]
    for op in ("put_large", "get_large"):
        for size in LARGE:
            t = {s: ns(results.get((s, op, "", size))) for s in stores}
            lines.append(f"| {op.split('_')[0]} | {size:,} | " + " | ".join(fmt(t[s]) for s in stores) + " | " +
                         " | ".join(fmt(ratio(t["lib"], t[h]), 2) + "×" for h in heaps) + " |")
    return "\n".join(lines) + "\n\nA heap's get is one `memcpy`; its put is a `malloc` and a `memcpy`."


def other_tables(results, stores):
    out = []
    mem = [(s, results.get((s, "memory", "", 1000000))) for s in stores]
    if any(b for _, b in mem):
        out += ["| store | resident bytes per string | glibc malloc in-use bytes per string | put while filling (ns) |",
                "|---|---:|---:|---:|"]
        for s, b in mem:
            if b:
                heap = f"{b['heap_per_string']:.2f}" if "heap_per_string" in b else "–"
                out.append(f"| {s} | {b['resident_per_string']:.2f} | {heap} | {fmt(ns(b))} |")
        out.append("")
    out += ["| store | strings | wall time (s) | CPU time (s) | ns per put |", "|---|---:|---:|---:|---:|"]
    for s in stores:
        b = results.get((s, "fill", "", 0))
        if b:
            out.append(f"| {s} | {b['strings']:,.0f} | {b['real_time'] / 1e9:.2f} | "
                       f"{b['cpu_time'] / 1e9:.2f} | {fmt(ns(b))} |")
    full = [(s, ns(results.get((s, "cycle_full_blocks", "", 1024)))) for s in stores]
    full = [f"{s} {fmt(t)} ns" for s, t in full if t]
    if full:
        out += ["", "put, get, free beside 1,024 live strings (every block full): " + ", ".join(full) + "."]
    b = results.get(("lib", "put_full", "", 0))
    if b:
        out += ["", f"A put into the full pool fails in {fmt(ns(b))} ns."]
    return "\n".join(out)


def targets(results, base):
    """Yields (target, measured, met) for each target of the run."""
    def get(*key):
        return ns(results.get(key))

    for op in ("put", "get", "free", "dup"):
        for order in orders(op):
            small, big = get("lib", op, order, 1000), get("lib", op, order, 1000000)
            if small and big:
                yield (f"{label(op, order)} at 1M ≤ 1.5 × at 1k", f"{fmt(big)} / {fmt(small)} ns = {big / small:.2f}×",
                       big <= 1.5 * small)
    for op in ("get", "len", "cmp", "dup"):
        lib, other = get("lib", op, "rand", 1000000), get(base, op, "rand", 1000000)
        if lib and other:
            yield (f"{op} (rand) at 1M ≤ 1.5 × {base}", f"{fmt(lib)} vs {fmt(other)} ns = {lib / other:.2f}×",
                   lib <= 1.5 * other)
    lib, other = get("lib", "cycle", "", 1000000), get(base, "cycle", "", 1000000)
    if lib and other:
        yield (f"put+get+free at 1M ≤ {base}", f"{fmt(lib)} vs {fmt(other)} ns = {lib / other:.2f}×", lib <= other)
    for size, bound in ((1024, 4), (9000, 3), (65535, 3)):
        lib, other = get("lib", "put_large", "", size), get(base, "put_large", "", size)
        if lib and other:
            yield (f"put of {size:,} bytes ≤ {bound} × {base}", f"{fmt(lib)} vs {fmt(other)} ns = {lib / other:.2f}×",
                   lib <= bound * other)
    b = results.get(("lib", "memory", "", 1000000))
    if b:
        yield ("resident bytes per string at 1M ≤ 37", f"{b['resident_per_string']:.2f}",
               b["resident_per_string"] <= 37)
    lib, other = get("lib", "get_large", "", 65535), get(base, "get_large", "", 65535)
    if lib and other:
        yield ("get of 65,535 bytes ≥ ½ memcpy speed",
               f"{fmt(lib)} vs {fmt(other)} ns = {other / lib:.2f} of memcpy speed", lib <= 2 * other)
    b = results.get(("lib", "fill", "", 0))
    if b:
        yield ("fill to 65,534 blocks in seconds", f"{b['real_time'] / 1e9:.1f} s", b["real_time"] < 60e9)


def plot(results, stores, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 4, figsize=(16, 8.5), sharex=True)
    for ax, op in zip(axes.flat, SMALL_OPS):
        for store in stores:
            for order in orders(op):
                points = [(n, ns(results.get((store, op, order, n)))) for n in LIVE]
                points = [(n, y) for n, y in points if y]
                if not points:
                    continue
                ax.plot(*zip(*points), marker="o", markersize=3 if store in HEAPS[2:] else 5,
                        linewidth=1 if store in HEAPS[2:] else 2, color=COLOURS[store],
                        linestyle="--" if order == "rand" else "-", label=f"{store} {order}".strip())
        ax.set_title(op)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.grid(True, which="both", alpha=0.3)
    for ax in axes[1]:
        ax.set_xlabel("live strings")
    for ax in axes[:, 0]:
        ax.set_ylabel("ns per operation (median)")
    # One entry per store (its colour) and one per walk (the line's style).
    from matplotlib.lines import Line2D

    handles = [Line2D([], [], color=COLOURS[s], marker="o", linewidth=1 if s in HEAPS[2:] else 2, label=s)
               for s in stores]
    handles += [Line2D([], [], color="grey", linestyle="-", label="in put order (and put, cycle, churn)"),
                Line2D([], [], color="grey", linestyle="--", label="in random order")]
    fig.legend(handles=handles, loc="lower center", ncol=len(handles))
    fig.suptitle("String store: cost per operation against live small strings (5–30 bytes)")
    fig.tight_layout(rect=(0, 0.08, 1, 0.97))
    fig.savefig(path, dpi=100)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    results, stores, context = load(sys.argv[1])
    if len(sys.argv) > 2:
        plot(results, stores, sys.argv[2])
    base = next((s for s in ("glibc", "crt") if s in stores), None)
    reps = max(b.get("repetitions", 1) for b in results.values())
    load_avg = ", ".join(f"{x:.1f}" for x in context.get("load_avg", [])) or "not known"
    mhz = f" at {context['mhz_per_cpu']} MHz" if context.get("mhz_per_cpu") else ""
    print(f"Run of {context['date']}, {context['num_cpus']} CPUs{mhz}, load average {load_avg}; "
          f"medians of {reps} repetitions, ns per operation.\n")
    for store in stores:
        print(f"#### {store}\n\n{small_table(results, store)}\n")
    if base:
        print(f"#### lib ÷ {base}\n\n{versus_table(results, base)}\n")
    print(f"#### Every store at 1,000,000 live strings (ns per operation)\n\n"
          f"{stores_table(results, stores, 1000000)}\n")
    print(f"#### Large strings, in an emptied store (ns per operation)\n\n{large_table(results, stores)}\n")
    print(f"#### Memory and the block limit\n\n{other_tables(results, stores)}\n")
    if base:
        print("#### Targets\n\n| target | measured | met |\n|---|---|---|")
        for name, measured, met in targets(results, base):
            print(f"| {name} | {measured} | {'yes' if met else '**no**'} |")


if __name__ == "__main__":
    main()
