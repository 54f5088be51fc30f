#!/usr/bin/env bash
# The exports' hot path, as a host meets it, in every build that ships the library: instructions
# per operation counted by callgrind (linux64 release and linux32), and ns per MemAlloc/MemFree
# pair beside the floors it stands on (two lock/unlock pairs of the heap's own lock, the C
# runtime's malloc/free), natively and for the DLL under wine. Writes bench/results/hot-path.md.
# Usage: bench/hot-path/run.sh [--help] [--version]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$root/bench/results/hot-path.md
cd "$root"

case ${1-} in
  "") ;;
  -h | --help)
    echo "usage: bench/hot-path/run.sh [--help] [--version]: writes $out"
    exit 0
    ;;
  --version)
    echo "hot-path/run.sh (VelkAllocator)" \
      "$(sed -n 's/^project(VelkAllocator VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
    exit 0
    ;;
  *)
    echo "hot-path/run.sh: unknown argument '$1' (it takes --help or --version only)" >&2
    exit 2
    ;;
esac

for preset in release linux32 win32; do
  [[ -f build/$preset/build.ninja ]] || cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" --target velk-exports-bench velkallocator >/dev/null
done

exe() { echo "build/$1/bench/hot-path/velk-exports-bench"; }
count() { bench/hot-path/count.sh "$(exe "$1")" "build/$1/library/libvelkallocator.so"; }
# "exports pair  75.7 ns" ... -> the three numbers
times() { "$@" times | tr -d '\r' | awk '{ for (i = 1; i <= NF; i++) if ($i == "ns" || $i == "ns)") print $(i - 1) }'; }

mapfile -t count64 < <(count release)
mapfile -t count32 < <(count linux32)
mapfile -t time64 < <(times "$(exe release)" build/release/library/libvelkallocator.so)
mapfile -t time32 < <(times "$(exe linux32)" build/linux32/library/libvelkallocator.so)
mapfile -t timewin < <(times scripts/wine-run.sh "$(exe win32).exe" build/win32/VelkAllocator.dll)

field() { awk '{ print $2 }' <<<"$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b }'; }
{
  echo "## Hot path of the exports"
  echo
  echo "Measured $(date -u +%Y-%m-%d) on $(nproc) CPUs (load $(cut -d' ' -f1 /proc/loadavg)) by"
  echo "\`bench/hot-path/run.sh\`. A pair is one MemAlloc(100) and its MemFree; mixed keeps 1,000"
  echo "payloads of 8 to 2,048 bytes live and replaces them at random; burst allocates 1,024"
  echo "payloads of 16 to 72 bytes, then frees them."
  echo
  echo "Instructions per operation inside MemAlloc and MemFree (callgrind; a pair counts as one):"
  echo
  echo "| build | pair | mixed | burst |"
  echo "|---|---|---|---|"
  echo "| linux64 (release) | $(field "${count64[0]-}") | $(field "${count64[1]-}") | $(field "${count64[2]-}") |"
  echo "| linux32 | $(field "${count32[0]-}") | $(field "${count32[1]-}") | $(field "${count32[2]-}") |"
  echo
  echo "Time per pair, best of 7 runs of 2,000,000 pairs:"
  echo
  echo "| build | exports | two lock pairs | runtime malloc/free | exports / locks | exports / runtime |"
  echo "|---|---|---|---|---|---|"
  for row in "linux64 (release):time64" "linux32:time32" "win32 DLL under wine:timewin"; do
    declare -n figures=${row##*:}
    echo "| ${row%%:*} | ${figures[0]-} ns | ${figures[1]-} ns | ${figures[2]-} ns |" \
      "$(ratio "${figures[0]-}" "${figures[1]-}") | $(ratio "${figures[0]-}" "${figures[2]-}") |"
  done
} >"$out"
cat "$out"
