"""Turns the raw measurements of bench/run.sh into bench/results/latest.md and the data file
behind latest.png. Usage: report.py <raw dir> <results dir> <load before> <load after>
<allocator names, glibc first>."""
import json
import math
import os
import platform
import statistics
import subprocess
import sys
from collections import defaultdict
from datetime import datetime, timezone

raw, results, load_before, load_after, names = (sys.argv[1], sys.argv[2], sys.argv[3],
                                                 sys.argv[4], sys.argv[5:])
peers = [name for name in names if name != "velk"]  # glibc counts among the peers
# The shapes the targets are set on; the other rows are real programs and a memory run.
SHAPES = ["server-churn", "producer-consumer", "remote-bursts", "batches", "shared-swap", "bignum",
          "logic-minimiser", "working-set", "false-sharing", "large-zeroed", "large-threaded",
          "aligned-objects", "realloc-builders"]

seconds = defaultdict(list)
rss = defaultdict(list)
live = defaultdict(list)
checks = defaultdict(set)
threads = {}
workloads = []
with open(os.path.join(raw, "macro.tsv")) as table:
    for line in table:
        workload, thread_count, name, _run, time, peak, peak_live, check = \
            line.rstrip("\n").split("\t")
        if workload not in workloads:
            workloads.append(workload)
        threads[workload] = int(thread_count)
        seconds[workload, name].append(float(time))
        rss[workload, name].append(int(peak))
        live[workload, name].append(int(peak_live))
        checks[workload, name].add(check)
shapes = [workload for workload in SHAPES if workload in workloads]


def median(values):
    return statistics.median(values)


def geomean(values):
    return math.exp(sum(math.log(value) for value in values) / len(values)) if values else \
        float("nan")


def time_of(workload, name):
    # A run too short for /usr/bin/time's hundredths still counts as one hundredth.
    return max(median(seconds[workload, name]), 0.01)


def fastest_peer(workload):
    return min(peers, key=lambda name: time_of(workload, name))


def to_fastest(workload, name):
    return time_of(workload, name) / time_of(workload, fastest_peer(workload))


def to_glibc(figures, workload, name):
    return median(figures[workload, name]) / median(figures[workload, "glibc"])


out = []
cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"],
                     capture_output=True, text=True).stdout.strip()
runs = len(seconds[workloads[0], names[0]])
out.append("# Benchmark results\n")
out.append(f"{datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC, {cpu or platform.machine()}, "
           f"{os.cpu_count()} CPUs, median of {runs} runs; load average {load_before} before "
           f"and {load_after} after (the machine is shared: ratios between allocators of one "
           "row, which take turns within each run, are steadier than the absolute times). "
           "Every program runs unchanged with the allocator preloaded (glibc: none). "
           "`bench/run.sh` describes the workloads; the real programs are those "
           "`tests/programs` checks for identical output, a Lua and a Perl script whose "
           "output must match glibc's, and xz compressing C++ headers.\n")


def table(title, header, rows, note=None):
    out.append(f"## {title}\n")
    if note:
        out.append(note + "\n")
    out.append("| " + " | ".join(header) + " |")
    out.append("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        out.append("| " + " | ".join(row) + " |")
    out.append("")


others = [name for name in names if name not in ("glibc", "velk")]
rows = []
for workload in workloads:
    fastest = fastest_peer(workload)
    differs = [name for name in names if checks[workload, name] != checks[workload, "glibc"]]
    rows.append([workload, str(threads[workload]), f"{time_of(workload, 'glibc'):.2f} s",
                 f"**{to_glibc(seconds, workload, 'velk'):.2f}**",
                 f"**{to_fastest(workload, 'velk'):.2f}** ({fastest})"] +
                [f"{to_glibc(seconds, workload, name):.2f}" for name in others] +
                [", ".join(differs) or "same"])
table("Time", ["workload", "threads", "glibc", "velk / glibc", "velk / fastest peer"] +
      [f"{name} / glibc" for name in others] + ["output"], rows,
      "Lower is better. The fastest peer is the fastest of glibc and the four other allocators "
      "in that row. \"output\" names any allocator under which the program's check value (or "
      "printed output) differed from glibc's.")

rows = []
for workload in workloads:
    rows.append([workload, f"{median(rss[workload, 'glibc']) / 1024:.1f} MiB"] +
                [f"{to_glibc(rss, workload, name):.2f}" for name in names if name != "glibc"])
table("Peak RSS, as a ratio to glibc", ["workload", "glibc"] +
      [name for name in names if name != "glibc"], rows)

rows = []
for name in names:
    rows.append([name, f"{geomean([to_glibc(seconds, w, name) for w in shapes]):.2f}",
                 f"{geomean([to_fastest(w, name) for w in shapes]):.2f}",
                 f"{geomean([to_fastest(w, name) for w in workloads]):.2f}"])
table("Geometric means", ["allocator", f"time / glibc ({len(shapes)} shapes)",
                          f"time / fastest peer ({len(shapes)} shapes)",
                          f"time / fastest peer (all {len(workloads)} rows)"], rows)

if "fragmentation" in workloads:
    peak_live = median(live["fragmentation", "glibc"])
    table("Fragmentation run: peak RSS over peak live bytes",
          ["peak live"] + names,
          [[f"{peak_live / 1024:.1f} MiB"] +
           [f"{median(rss['fragmentation', name]) / peak_live:.3f}" for name in names]])

micro = {}
micro_names = []
for name in names:
    path = os.path.join(raw, f"micro-{name}.json")
    if not os.path.exists(path):
        continue
    with open(path) as stream:
        report = json.load(stream)
    # With repetitions the median aggregate counts; a single run has no aggregates.
    aggregated = any(entry.get("aggregate_name") == "median" for entry in report["benchmarks"])
    for entry in report["benchmarks"]:
        if aggregated and entry.get("aggregate_name") != "median":
            continue
        benchmark = entry["run_name"]
        if benchmark not in micro_names:
            micro_names.append(benchmark)
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[entry["time_unit"]]
        micro[benchmark, name] = entry["real_time"] * scale
rows = []
for benchmark in micro_names:
    base = micro.get((benchmark, "glibc"))
    if base is None:
        continue
    rows.append([benchmark, f"{base:.1f} ns"] +
                [f"{micro.get((benchmark, name), float('nan')) / base:.2f}"
                 for name in names if name != "glibc"])
if rows:
    table("Micro-benchmarks: time per iteration, as a ratio to glibc",
          ["benchmark", "glibc"] + [name for name in names if name != "glibc"], rows)


def verdict(holds):
    return "met" if holds else "**missed**"


targets = []
for workload in shapes:
    if threads[workload] == 1:
        value = to_glibc(seconds, workload, "velk")
        targets.append(f"- {workload} (single thread), time ≤ 1.0 × glibc: {value:.2f} "
                       f"({verdict(value <= 1.0)})")
for workload in shapes:
    value = to_fastest(workload, "velk")
    targets.append(f"- {workload}, time ≤ 1.3 × the fastest peer ({fastest_peer(workload)}): "
                   f"{value:.2f} ({verdict(value <= 1.3)})")
score = geomean([to_fastest(w, "velk") for w in shapes])
targets.append(f"- geometric mean of time / fastest peer over the shapes ≤ 1.0: {score:.2f} "
               f"({verdict(score <= 1.0)})")
for workload in workloads:
    # Only where glibc's peak is more than a few MiB does a ratio say much.
    if median(rss[workload, "glibc"]) > 4 * 1024:
        value = to_glibc(rss, workload, "velk")
        targets.append(f"- {workload}, peak RSS ≤ 1.1 × glibc: {value:.2f} "
                       f"({verdict(value <= 1.1)})")
out.append("## Targets\n")
out.extend(targets)
out.append("")

with open(os.path.join(results, "latest.md"), "w") as stream:
    stream.write("\n".join(out))

# Chart data: time as a ratio to glibc, then peak RSS, one row per workload and one column per
# allocator; then the size sweep in nanoseconds per malloc/free pair.
with open(os.path.join(results, "latest.dat"), "w") as stream:
    for figures in (seconds, rss):
        stream.write("workload " + " ".join(names) + "\n")
        for workload in workloads:
            stream.write(workload + " " + " ".join(
                f"{to_glibc(figures, workload, name):.4f}" for name in names) + "\n")
        stream.write("\n\n")
    stream.write("size " + " ".join(names) + "\n")
    for benchmark in micro_names:
        if benchmark.startswith("MallocFreePair/"):
            size = benchmark.split("/")[1]
            stream.write(size + " " + " ".join(
                f"{micro.get((benchmark, name), float('nan')):.2f}" for name in names) + "\n")
print("\n".join(out))
