#!/usr/bin/env bash
# Runs every workload and real program under the C library's malloc, jemalloc, mimalloc,
# tcmalloc, tbbmalloc and libvelkmalloc.so (each through LD_PRELOAD, the programs unchanged),
# takes the median of several runs, and writes bench/results/latest.md (time and peak RSS as
# ratios to glibc and to the fastest allocator of each row), latest.dat and latest.png.
# With the whole set it also runs bench/hot-path/run.sh and adds its tables to latest.md.
# Usage: bench/run.sh --help
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/release
results=$root/bench/results
bin=$build/bench

# The shapes: name|threads|command. Sizes keep each run to a second or a few under glibc, and the
# fastest allocator's to a few tenths: /usr/bin/time counts hundredths, and a row whose best run
# takes 0.06 s moves by a sixth on one of them.
workloads=(
  "server-churn|2|velk_bench_server_churn"
  "producer-consumer|4|velk_bench_producer_consumer"
  "remote-bursts|4|velk_bench_remote_bursts"
  "batches|2|velk_bench_batches"
  "shared-swap|4|velk_bench_shared_swap"
  "bignum|1|velk_bench_bignum"
  "logic-minimiser|1|velk_bench_logic_minimiser"
  "working-set|2|velk_bench_working_set 2 8000000"
  "false-sharing|2|velk_bench_false_sharing"
  "large-zeroed|1|velk_bench_large_zeroed"
  "large-threaded|2|velk_bench_large_threaded 2 500000"
  "aligned-objects|2|velk_bench_aligned_objects 2 8000000"
  "realloc-builders|1|velk_bench_realloc_builders"
  "fragmentation|1|velk_bench_fragmentation 100 20000"
  "python|1|python3 $root/tests/programs/dicts_and_lists.py"
  "lua|1|lua5.4 $root/bench/workloads/gc_rounds.lua"
  "perl|1|perl $root/bench/workloads/hashes.pl"
  "sort|2|sort --parallel=2 -S 200M -o /dev/null LINES"
  "g++|1|g++ -O2 -std=c++20 -c $root/tests/programs/threaded_handoff.cpp -o /dev/null"
  "xz|1|xz -9 -T1 -c HEADERS"
)
names_of_workloads() { for entry in "${workloads[@]}"; do printf ' %s' "${entry%%|*}"; done; }
usage() {
  cat <<EOF
usage: bench/run.sh [--runs N] [--workload NAME]... [--help] [--version]
  --runs N          runs of every measurement, whose median is reported (default 3)
  --workload NAME   run only this workload (repeatable); the report is printed and the results
                    folder left alone
workloads:$(names_of_workloads)
EOF
}
fail_usage() {
  echo "run.sh: $*" >&2
  usage >&2
  exit 2
}
version=$(sed -n 's/^project(VelkAllocator VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
options=$(getopt --name run.sh --options h --longoptions runs:,workload:,help,version -- "$@") ||
  fail_usage "see the options below"
eval set -- "$options"
runs=3
chosen=()
while true; do
  case $1 in
    --runs)
      [[ $2 =~ ^[1-9][0-9]{0,2}$ ]] || fail_usage "--runs: '$2' is not a whole number from 1 to 999"
      runs=$2
      shift 2
      ;;
    --workload)
      found=0
      for entry in "${workloads[@]}"; do
        if [[ ${entry%%|*} == "$2" ]]; then
          chosen+=("$entry")
          found=1
        fi
      done
      ((found)) || fail_usage "--workload: '$2' is none of:$(names_of_workloads)"
      shift 2
      ;;
    -h | --help)
      usage
      exit 0
      ;;
    --version)
      echo "run.sh (VelkAllocator) $version"
      exit 0
      ;;
    --)
      shift
      break
      ;;
  esac
done
[[ $# -eq 0 ]] || fail_usage "unexpected argument '$1'"
every=$((${#chosen[@]} == 0))
((every)) || workloads=("${chosen[@]}")

cmake --preset release >/dev/null
cmake --build "$build" --target velkmalloc velk_bench_micro velk_bench_server_churn \
  velk_bench_producer_consumer velk_bench_batches velk_bench_shared_swap velk_bench_bignum \
  velk_bench_logic_minimiser velk_bench_working_set velk_bench_false_sharing \
  velk_bench_large_zeroed velk_bench_fragmentation velk_bench_remote_bursts \
  velk_bench_large_threaded >/dev/null

lib=/usr/lib/x86_64-linux-gnu
names=(glibc velk jemalloc mimalloc tcmalloc tbbmalloc)
declare -A preload=(
  [glibc]=""
  [velk]="$build/malloc/libvelkmalloc.so"
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

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
# 100 MB of random lines for sort; 3.6 MB of C++ headers for xz, whose tables for -9 (a 64 MiB
# hash among them, from calloc) it fills only in part on text of that size.
head -c 75000000 /dev/urandom | base64 -w 76 >"$raw/lines.txt"
cat /usr/include/c++/*/bits/*.h >"$raw/headers.txt"
: >"$raw/macro.tsv"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "run.sh: $runs runs of ${#workloads[@]} workloads under ${#names[@]} allocators"
for run in $(seq "$runs"); do
  for entry in "${workloads[@]}"; do
    IFS='|' read -r workload threads command <<<"$entry"
    command=${command//LINES/$raw/lines.txt}
    command=${command//HEADERS/$raw/headers.txt}
    [[ $command == velk_bench_* ]] && command=$bin/$command
    # Allocators take turns within a run, each run starting with a different one, so that a
    # machine growing busier or quieter favours none of them.
    for turn in "${!names[@]}"; do
      name=${names[$(((turn + run) % ${#names[@]}))]}
      (cd "$raw" && env LD_PRELOAD="${preload[$name]}" /usr/bin/time -f "%e %M" -o "$raw/usage" \
        $command >"$raw/out" 2>"$raw/err") || echo "run.sh: $workload failed under $name" >&2
      read -r seconds peak <"$raw/usage"
      # The check value (or, for the real programs, a digest of what they printed) must agree
      # with glibc's: the program ran unchanged and right.
      check=$(grep -o 'check=[0-9]*' "$raw/out" ||
        sed 's/seconds=[0-9.]*//' "$raw/out" | md5sum | cut -c1-12)
      live=$(grep -o 'peak_live_kb=[0-9]*' "$raw/out" | cut -d= -f2 || true)
      printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$workload" "$threads" "$name" "$run" "$seconds" \
        "$peak" "${live:-0}" "$check" >>"$raw/macro.tsv"
    done
  done
  echo "run.sh: run $run of $runs done"
done

# The micro-benchmarks run with the whole set only.
for name in "${names[@]}"; do
  ((every)) || break
  env LD_PRELOAD="${preload[$name]}" "$bin/velk_bench_micro" \
    --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.2 --benchmark_format=json >"$raw/micro-$name.json" 2>/dev/null
  echo "run.sh: micro-benchmarks under $name done"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# A partial run prints its report and leaves the results folder alone.
((every)) || results=$raw/results
mkdir -p "$results"
python3 "$root/bench/report.py" "$raw" "$results" "$load_before" "$load_after" "${names[@]}"
if ((every)); then
  gnuplot -e "data='$results/latest.dat'; output='$results/latest.png'" "$root/bench/chart.gp"
  "$root/bench/hot-path/run.sh" >/dev/null
  { echo; cat "$results/hot-path.md"; } >>"$results/latest.md"
  echo "run.sh: wrote $results/latest.md and $results/latest.png"
fi
