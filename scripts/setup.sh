#!/usr/bin/env bash
# A newcomer's first minutes: installs what is missing, builds only what the demo needs (the
# 64-bit Linux library and velk-host; the 32-bit Windows DLL and velk-host.exe), then runs the
# demo: the same workload on the Linux library and on the DLL under wine, and one heap map page.
# Everything else (other presets, tests, sanitizers, the fuzzer) is built by scripts/test.sh.
set -uo pipefail
# shellcheck source=scripts/presets.sh
source "$(dirname "${BASH_SOURCE[0]}")/presets.sh"
cd "$velk_root" || exit 1

setup_started=$(date +%s%N)
demo_folder=build/demo
demo_workload=(--workload mixed --threads 2 --ops 20000)

step() {
  printf '\n==== %s  [%s s]\n' "$*" "$(seconds_since "$setup_started")"
}

# Configures the preset if needed and builds only the given targets; ninja shows its progress.
build_targets() {
  local preset=$1
  shift
  if [[ ! -f build/$preset/build.ninja ]]; then
    cmake --preset "$preset" >/dev/null || return 1
  fi
  cmake --build "build/$preset" --target "$@"
}

step "install missing packages"
"$velk_root/scripts/install-deps.sh" || loud_warning "install-deps.sh failed; building what can be built"

status=0
step "build linux64: the library and velk-host"
if ! build_targets linux64 velk-host; then
  loud_warning "the linux64 build FAILED"
  exit 1
fi

windows_ready=0
if [[ -n $(preset_toolchain_missing win32) ]]; then
  loud_warning "no mingw-w64 toolchain: the Windows DLL is SKIPPED"
elif ! command -v wine >/dev/null; then
  loud_warning "wine is not installed: the Windows DLL is SKIPPED"
elif ! kernel_runs_i386; then
  loud_warning "this kernel cannot run 32-bit x86 programs, as wine needs: the Windows DLL is SKIPPED"
else
  step "build win32: VelkAllocator.dll and velk-host.exe"
  if build_targets win32 velk-host; then
    windows_ready=1
  else
    loud_warning "the win32 build FAILED"
    status=1
  fi
fi

mkdir -p "$demo_folder/linux" "$demo_folder/windows"
host=$velk_root/build/linux64/tools/velk-host/velk-host

step "demo: velk-host ${demo_workload[*]} on build/linux64/library/libvelkallocator.so"
(cd "$demo_folder/linux" && "$host" "${demo_workload[@]}" "$velk_root/build/linux64/library/libvelkallocator.so") || status=1

if [[ $windows_ready -eq 1 ]]; then
  step "demo: the same workload on build/win32/VelkAllocator.dll under wine"
  if [[ ! -d build/win32/wineprefix ]]; then
    echo "(wine prepares its prefix in build/win32/wineprefix the first time: about 20 s)"
  fi
  (cd "$demo_folder/windows" &&
    "$velk_root/scripts/wine-run.sh" "$velk_root/build/win32/tools/velk-host/velk-host.exe" \
      "${demo_workload[@]}" "$velk_root/build/win32/VelkAllocator.dll") || status=1
fi

step "demo: the heap of the churn workload, as a page"
map=$velk_root/$demo_folder/heap-map.html
"$host" --map "$map" --workload churn --ops 40000 || status=1

step "done"
echo "Open the heap map in a browser: file://$map"
echo "Logs of the two runs: $demo_folder/linux/VelkAllocator.log, $demo_folder/windows/VelkAllocator.log"
echo "Next: ./scripts/test.sh builds every other preset and runs the tests (10 minutes and more)."
exit "$status"
