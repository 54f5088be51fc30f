#!/usr/bin/env bash
# The tools, black box: a traced velk-host run replayed to the report the library wrote in the same
# log; logs of either runtime read, damaged or cut-short ones answered with the line at fault; bad
# options of velk-replay and velk-host named; the heap map and timeline pages rendered by headless
# Chromium.
#   tools_test.sh VELK_HOST VELK_REPLAY TRACED_LIBRARY
set -uo pipefail
host=$1 replay=$2 traced=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failed=0

fail() { echo "FAILED: $1"; head -c 3000 out.txt; failed=1; }

# expect STATUS TEXT COMMAND...: COMMAND must end with STATUS and print TEXT (stdout or stderr).
expect() {
  local status=$1 text=$2 got
  shift 2
  "$@" >out.txt 2>&1
  got=$?
  [[ $got == "$status" ]] && grep -qF -- "$text" out.txt ||
    fail "$* ended $got (not $status) or did not print '$text'"
}

# Each replay figure that differs from the log's, by label.
differing() { sed -n 's/^  \(.*\): replay .*, log .*/\1/p' out.txt; }

# One thread: every figure equal, every allocation placed where the traced run placed it.
expect 0 " 0 faults" "$host" --workload churn --ops 30000 --seed 11 "$traced"
expect 0 "report: every figure equals the log's report" "$replay" VelkAllocator.log
read -r same compared < <(sed -n 's/.*placed them: \([0-9]*\) of \([0-9]*\) compared.*/\1 \2/p' out.txt)
[[ ${same:-0} == "${compared:-}" && $compared -gt 10000 ]] || fail "placed $same of $compared"
grep -qE "calls from 1 thread\(s\), (32|64)-bit glibc pointers" out.txt || fail "the calls were not read"

# Several threads: the log's order is not the heap's (an allocation's line follows the heap's work,
# a free's precedes it), so the replay may take another path through the same calls. Only peak
# alloc, reached mid-run, may differ; every other figure counts calls or describes the end.
expect 0 " 0 faults" "$host" --workload mixed --threads 3 --ops 30000 --seed 5 "$traced"
expect 0 "from 3 thread(s)" "$replay" VelkAllocator.log
[[ -z $(differing | grep -v -x "peak alloc (+bkpg)") ]] || fail "final figures differ"

# Logs as the builds write them: glibc's "(nil)" and a size "%d" printed negative; Windows' bare
# pointers and CRLF line ends.
printf '%s\n' "Velk allocator loaded" "Pre-allocated 640M VA segment, result = 1" \
  "[00001a2b]: allocated 100 bytes: 0x7f4231e00010" "[00001a2c]: allocated -16 bytes: (nil)" \
  "[00001a2b]: memsize for 0x7f4231e00010 returns 104" "[00001a2b]: flushcache with -3" \
  "[00001a2b]: flushcacheall" "[00001a2b]: freeing: 0x7f4231e00010" >VelkAllocator.log
expect 0 "allocations that returned null in the traced run: 1" "$replay" VelkAllocator.log
grep -q ": 8 lines, 6 calls from 2 thread(s), 64-bit glibc pointers" out.txt || fail "glibc log"
printf '%s\r\n' "[000004d0]: allocated 24 bytes: 0012FF40" "[000004d0]: freeing: 00000000" \
  "shutting down Velk allocator" "HEAP STATS:" "-----------" "num frees         : 1" >VelkAllocator.log
expect 0 ": 6 lines, 2 calls from 1 thread(s), 32-bit Windows pointers" "$replay" VelkAllocator.log

# Damaged logs and bad options: status, what is said, arguments after the program, the log
# (printf %b), and the program when it is not velk-replay. CLI11 reads "-5" for an unsigned option
# as a huge number: velk-host must take every count as written.
header='Velk allocator loaded\nPre-allocated 640M VA segment, result = 1\n'
call='[00000001]: allocated 24 bytes: 0x7f0000000010\n'
while IFS='|' read -r status said arguments log program; do
  printf '%b' "$log" >VelkAllocator.log
  program=${program:-replay}
  # shellcheck disable=SC2086 # the arguments are separate words
  expect "$status" "$said" "${!program}" $arguments
done <<EOF
1|VelkAllocator.log:4: expected a call|VelkAllocator.log|$header$call[00000001]: freeing 0x10\n
0|VelkAllocator.log:4: the last line has no line end|VelkAllocator.log|$header$call[00000001]: fre
0|: 2 lines, 1 calls|VelkAllocator.log|[00000001]: allocated 8 bytes: 0x10\n[0000
0|: 1 lines, 1 calls|VelkAllocator.log|[00000001]: allocated 8 bytes: 0x10\n
0|frees of pointers the trace never returned: 1 (first on line 3)|VelkAllocator.log|$header[00000001]: freeing: 0x7f0000000010\n[00000001]: memsize for 0x20 returns 8\n
0|frees taken before a later allocation of the same pointer: 1|VelkAllocator.log|$header$call$call
1|VelkAllocator.log:1: expected a trace line|VelkAllocator.log|\n[00000001]: freeing: 0x10\n
1|:1: expected 'freeing: POINTER'|VelkAllocator.log|[00000001]: freeing: 0xZZ\n
1|:1: expected 'freeing: POINTER'|VelkAllocator.log|[00000001]: freeing: 0x10 \n
1|:1: expected 'allocated N bytes: POINTER'|VelkAllocator.log|[00000001]: allocated 8 bytes 0x10\n
1|:1: expected 'allocated N bytes: POINTER'|VelkAllocator.log|[00000001]: allocated 4294967296 bytes: 0x10\n
1|:1: expected 'memsize for POINTER returns N'|VelkAllocator.log|[00000001]: memsize for 0x10 returns\n
1|:1: expected a call ('allocated'|VelkAllocator.log|[00000001]: realloc 0x10\n
1|:1: expected '[' eight hex digits of a thread id|VelkAllocator.log|[xyz]: freeing: 0x10\n
1|:2: expected the result of the up-front segment|VelkAllocator.log|${call}Pre-allocated 640M VA segment, result = yes\n
1|:2: expected the rule|VelkAllocator.log|HEAP STATS:\n===\n
1|:3: expected a report line 'label: value'|VelkAllocator.log|HEAP STATS:\n-----------\ntotal size 5\n
2|--at needs --map|VelkAllocator.log --at 3|$header
2|--at: -4294967295 is not a call number|VelkAllocator.log --map m.html --at -4294967295|$header
2|--at: 2 is beyond the log's last call: a call number from 1 to 1|VelkAllocator.log --map m.html --at 2|$header$call
2|dlmalloc is none of glibc, jemalloc|VelkAllocator.log --against dlmalloc|$header
2|--engine: 16 not in {trace,32,64}|VelkAllocator.log --engine 16|$header
2|--frobnicate|VelkAllocator.log --frobnicate|$header
1|cannot write /nonexistent/m.html: No such file or directory|VelkAllocator.log --map /nonexistent/m.html|$header$call
1|cannot read .: Is a directory|.|
1|VelkAllocator.log is empty: nothing to replay|VelkAllocator.log|
1|no trace lines: nothing to replay (its report counts 7 allocations|VelkAllocator.log|${header}shutting down Velk allocator\nHEAP STATS:\n-----------\nnum allocs : 7\n
2|--ops: -5 is not a whole number from 0 to 18446744073709551615|--ops -5 lib.so||host
2|--ops: 99999999999999999999 is not a whole number|--ops 99999999999999999999 lib.so||host
2|--seed: -1 is not a whole number|--seed -1 lib.so||host
2|--threads: 257 is not a whole number from 1 to 256|--threads 257 lib.so||host
EOF

# The pages in headless Chromium: no script error, one strip per segment, whole when zoomed in.
render() {
  chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir=profile --window-size=1200,800 \
    --enable-logging=stderr --v=0 --dump-dom "file://$work/$1" >page.txt 2>&1
  cp page.txt out.txt
  grep -q "data-error" page.txt && fail "$1: the page reports an error"
  grep -Eq ":CONSOLE\(.*(Uncaught|Error)" page.txt && fail "$1: a script error"
  grep -q "data-rendered=\"$2\"" page.txt || fail "$1: not rendered with $2 parts"
}
map() {
  render "$1" "$2"
  [[ $(grep -o '<section class="segment"' page.txt | wc -l) == "$2" ]] || fail "$1: segments"
  [[ $(grep -o '<rect ' page.txt | wc -l) -gt 20 ]] || fail "$1: too few Blocks drawn"
}
if command -v chromium >/dev/null; then
  # The host's own heap takes its segments from the system, which may place them side by side.
  expect 0 "num segments" "$host" --map map.html --workload churn --threads 2 --ops 40000 --seed 3
  segments=$(sed -n 's/^num segments *: \([0-9]*\).*/\1/p' out.txt)
  map map.html "$segments"
  map "map.html#zoom=14" "$segments"
  expect 0 " 0 faults" "$host" --workload large --ops 3000 "$traced"
  expect 0 "map: map.html" "$replay" VelkAllocator.log --map map.html --at peak --timeline time.html
  map map.html 1
  render time.html 4
  [[ $(grep -o '<path d="M' page.txt | wc -l) -ge 5 ]] || fail "timeline: too few lines drawn"
else
  echo "SKIPPED: the pages (no chromium)"
fi
[[ $failed == 0 ]] && echo "tools: every check passed"
exit $failed
