#!/usr/bin/env bash
# Runs every benchmark under the C library's malloc, jemalloc, mimalloc, tcmalloc, tbbmalloc and
# libvelkmalloc.so (each through LD_PRELOAD, the programs unchanged), takes the median of several
# runs, and writes bench/results/latest.md (times and peak RSS as ratios to the C library) and
# bench/results/latest.png. Usage: bench/run.sh [runs per measurement, default 3]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
build=$root/build/release
results=$root/bench/results

cmake --preset release >/dev/null
cmake --build "$build" --target velkmalloc velk_bench_micro velk_bench_churn \
  velk_bench_producer_consumer velk_bench_false_sharing velk_bench_fragmentation >/dev/null

lib=/usr/lib/x86_64-linux-gnu
names=(glibc velk jemalloc mimalloc tcmalloc tbbmalloc)
declare -A preload=(
  [glibc]=""
  [velk]="$build/tools/malloc-shim/libvelkmalloc.so"
  [jemalloc]="$lib/libjemalloc.so.2"
  [mimalloc]="$lib/libmimalloc.so.2"
  [tcmalloc]="$lib/libtcmalloc_minimal.so.4"
  [tbbmalloc]="$lib/libtbbmalloc_proxy.so.2"
)
for name in "${names[@]}"; do
  if [[ -n ${preload[$name]} && ! -e ${preload[$name]} ]]; then
    echo "run.sh: ${preload[$name]} is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
done

# Macro workloads: name and command line. Sizes keep each run to a few seconds.
workloads=(
  "churn-1-thread|velk_bench_churn 1 5000000 100000"
  "churn-2-threads|velk_bench_churn 2 2500000 50000"
  "producer-consumer|velk_bench_producer_consumer 1 3000000"
  "false-sharing|velk_bench_false_sharing 2 1000 100000"
  "fragmentation|velk_bench_fragmentation 100 20000"
)

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
: >"$raw/macro.tsv"
echo "run.sh: $runs runs of ${#workloads[@]} workloads under ${#names[@]} allocators"
for run in $(seq "$runs"); do
  for entry in "${workloads[@]}"; do
    workload=${entry%%|*}
    command=${entry#*|}
    # Allocators take turns within a run, so that a machine growing busier or quieter does not
    # favour whichever runs last.
    for name in "${names[@]}"; do
      /usr/bin/time -f "%M" -o "$raw/rss" env LD_PRELOAD="${preload[$name]}" \
        "$build/bench/"$command >"$raw/out"
      seconds=$(grep -o 'seconds=[0-9.]*' "$raw/out" | cut -d= -f2)
      live=$(grep -o 'peak_live_kb=[0-9]*' "$raw/out" | cut -d= -f2 || true)
      printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$workload" "$name" "$run" "$seconds" \
        "$(tail -1 "$raw/rss")" "${live:-0}" >>"$raw/macro.tsv"
    done
  done
  echo "run.sh: macro run $run done"
done

for name in "${names[@]}"; do
  env LD_PRELOAD="${preload[$name]}" "$build/bench/velk_bench_micro" \
    --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.2 --benchmark_format=json >"$raw/micro-$name.json" 2>/dev/null
  echo "run.sh: micro-benchmarks under $name done"
done

mkdir -p "$results"
python3 "$root/bench/report.py" "$raw" "$results" "${names[@]}"
gnuplot -e "data='$results/latest.dat'; output='$results/latest.png'" "$root/bench/chart.gp"
echo "run.sh: wrote $results/latest.md and $results/latest.png"
