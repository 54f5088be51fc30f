"""Turns the raw measurements of bench/run.sh into bench/results/latest.md and the data file
behind latest.png. Usage: report.py <raw dir> <results dir> <allocator names, glibc first>."""
import json
import os
import platform
import statistics
import subprocess
import sys
from collections import defaultdict
from datetime import datetime, timezone

raw, results, names = sys.argv[1], sys.argv[2], sys.argv[3:]
peers = [name for name in names if name not in ("glibc", "velk")]

seconds = defaultdict(list)
rss = defaultdict(list)
live = defaultdict(list)
workloads = []
with open(os.path.join(raw, "macro.tsv")) as table:
    for line in table:
        workload, name, _run, time, peak, peak_live = line.rstrip("\n").split("\t")
        if workload not in workloads:
            workloads.append(workload)
        seconds[workload, name].append(float(time))
        rss[workload, name].append(int(peak))
        live[workload, name].append(int(peak_live))


def median(values):
    return statistics.median(values)


def ratio(value, base):
    return value / base if base else float("nan")


micro = {}
micro_names = []
for name in names:
    with open(os.path.join(raw, f"micro-{name}.json")) as stream:
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

out = []
cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"],
                     capture_output=True, text=True).stdout.strip()
runs = len(seconds[workloads[0], names[0]])
out.append("# Benchmark results\n")
out.append(f"{datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC, {cpu or platform.machine()}, "
           f"{os.cpu_count()} CPUs, median of {runs} runs. Every program runs unchanged with "
           "the allocator preloaded (glibc: none). Ratios below 1 are better than glibc.\n")


def table(title, header, rows):
    out.append(f"## {title}\n")
    out.append("| " + " | ".join(header) + " |")
    out.append("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        out.append("| " + " | ".join(row) + " |")
    out.append("")


columns = ["workload", "glibc (absolute)"] + [name for name in names if name != "glibc"]
rows = []
for workload in workloads:
    base = median(seconds[workload, "glibc"])
    rows.append([workload, f"{base:.2f} s"] +
                [f"{ratio(median(seconds[workload, name]), base):.2f}"
                 for name in names if name != "glibc"])
table("Time, as a ratio to glibc", columns, rows)

rows = []
for workload in workloads:
    base = median(rss[workload, "glibc"])
    rows.append([workload, f"{base / 1024:.1f} MiB"] +
                [f"{ratio(median(rss[workload, name]), base):.2f}"
                 for name in names if name != "glibc"])
table("Peak RSS, as a ratio to glibc", columns, rows)

if "fragmentation" in workloads:
    peak_live = median(live["fragmentation", "glibc"])
    table("Fragmentation run: peak RSS over peak live bytes",
          ["peak live"] + names,
          [[f"{peak_live / 1024:.1f} MiB"] +
           [f"{median(rss['fragmentation', name]) / peak_live:.3f}" for name in names]])

rows = []
for benchmark in micro_names:
    base = micro.get((benchmark, "glibc"))
    if base is None:
        continue
    rows.append([benchmark, f"{base:.1f} ns"] +
                [f"{ratio(micro.get((benchmark, name), float('nan')), base):.2f}"
                 for name in names if name != "glibc"])
table("Micro-benchmarks: time per iteration, as a ratio to glibc",
      ["benchmark", "glibc (absolute)"] + [name for name in names if name != "glibc"], rows)


# The targets the shim is measured against.
def verdict(holds):
    return "met" if holds else "missed"


targets = []
if "churn-1-thread" in workloads:
    time_velk = median(seconds["churn-1-thread", "velk"])
    time_glibc = median(seconds["churn-1-thread", "glibc"])
    fastest = min(peers, key=lambda name: median(seconds["churn-1-thread", name]))
    time_fastest = median(seconds["churn-1-thread", fastest])
    targets.append(f"- single-thread churn, time ≤ 1.0 × glibc: {time_velk / time_glibc:.2f} "
                   f"({verdict(time_velk <= time_glibc)})")
    targets.append(f"- single-thread churn, time ≤ 1.5 × the fastest peer ({fastest}): "
                   f"{time_velk / time_fastest:.2f} ({verdict(time_velk <= 1.5 * time_fastest)})")
for workload in ("churn-1-thread", "churn-2-threads", "fragmentation"):
    if workload in workloads:
        value = ratio(median(rss[workload, "velk"]), median(rss[workload, "glibc"]))
        targets.append(f"- {workload}, peak RSS ≤ 1.1 × glibc: {value:.2f} "
                       f"({verdict(value <= 1.1)})")
for workload in ("churn-2-threads", "producer-consumer", "false-sharing"):
    if workload in workloads:
        value = ratio(median(seconds[workload, "velk"]), median(seconds[workload, "glibc"]))
        targets.append(f"- {workload}, time ≤ 2 × glibc: {value:.2f} ({verdict(value <= 2.0)})")
out.append("## Targets\n")
out.extend(targets)
out.append("")

with open(os.path.join(results, "latest.md"), "w") as stream:
    stream.write("\n".join(out))

# Chart data: two blocks (time, peak RSS), one row per workload, one column per allocator.
with open(os.path.join(results, "latest.dat"), "w") as stream:
    for figures in (seconds, rss):
        stream.write("workload " + " ".join(names) + "\n")
        for workload in workloads:
            base = median(figures[workload, "glibc"])
            stream.write(workload + " " + " ".join(
                f"{ratio(median(figures[workload, name]), base):.4f}" for name in names) + "\n")
        stream.write("\n\n")
    # The size sweep, in nanoseconds per malloc/free pair.
    stream.write("size " + " ".join(names) + "\n")
    for benchmark in micro_names:
        if benchmark.startswith("MallocFreePair/"):
            size = benchmark.split("/")[1]
            stream.write(size + " " + " ".join(
                f"{micro.get((benchmark, name), float('nan')):.2f}" for name in names) + "\n")
print("\n".join(out))
