#!/usr/bin/env bash
# Builds the release archives into dist/: for each shipping build, its archive
# (VelkAllocator-<version>-linux64.tar.gz, -linux32.tar.gz, -win32.zip), for Linux also the Debian
# packages libvelkallocator1, libvelkallocator-dev and velkallocator-tools (_amd64.deb, _i386.deb),
# each with a .sha256 beside it (`sha256sum -c FILE.sha256`). Builds what is missing first. The
# linux64 archives carry the static 32-bit velk-replay as velk-replay32, for traces of the Windows
# DLL, so its linux32 build comes first; the linux32 packages carry the man pages that the linux64
# programs write (this machine may not run 32-bit ones), so linux64 is packaged first. Then the
# .debs are checked (tests/package/check_debs.py): no lintian error, and the amd64 and i386
# packages install side by side.
#
#   scripts/package.sh                 linux64, linux32 and win32
#   scripts/package.sh win32           just those
set -uo pipefail
# shellcheck source=scripts/presets.sh
source "$(dirname "${BASH_SOURCE[0]}")/presets.sh"
cd "$velk_root" || exit 1

presets=(linux64 linux32 win32)
[[ $# -gt 0 ]] && presets=("$@")

# The 32-bit velk-replay that the linux64 archives carry: built, from this tree, before they are made.
build_replay32() {
  local missing
  missing=$(preset_toolchain_missing linux32)
  if [[ -n $missing ]]; then
    loud_warning "the linux64 packages lack velk-replay32: this machine lacks ${missing//$'\n'/, }"
    return
  fi
  if [[ ! -f build/linux32/build.ninja ]] && ! cmake --preset linux32; then
    loud_warning "the linux64 packages lack velk-replay32: linux32 did not configure"
    return
  fi
  cmake --build build/linux32 --target velk-replay ||
    loud_warning "the linux64 packages lack velk-replay32: it did not build"
}

# The man pages of velk-host and velk-replay, written by the linux64 programs, for linux32.
build_man_pages64() {
  if [[ ! -f build/linux64/build.ninja ]] && ! cmake --preset linux64; then
    loud_warning "the linux32 packages lack the programs' man pages: linux64 did not configure"
    return
  fi
  cmake --build build/linux64 --target man_pages ||
    loud_warning "the linux32 packages lack the programs' man pages: linux64 did not make them"
}

rm -rf dist
mkdir -p dist
failed_presets=()
for preset in "${presets[@]}"; do
  banner "package $preset"
  missing=$(preset_toolchain_missing "$preset")
  if [[ -n $missing ]]; then
    loud_warning "preset $preset SKIPPED: this machine lacks ${missing//$'\n'/, }"
    failed_presets+=("$preset")
    continue
  fi
  packages="build/$preset/packages"
  rm -rf "$packages"
  [[ $preset == linux64 ]] && build_replay32
  [[ $preset == linux32 ]] && build_man_pages64
  if build_preset "$preset" && cpack --config "build/$preset/CPackConfig.cmake" -B "$packages"; then
    find "$packages" -maxdepth 1 -type f -exec cp {} dist/ \;
  else
    failed_presets+=("$preset")
    loud_warning "preset $preset FAILED to build or package"
  fi
done

banner "dist"
ls -l dist
if compgen -G "dist/*.deb" >/dev/null; then
  banner "Debian packages"
  if ! command -v lintian >/dev/null; then
    loud_warning "lintian is not installed (scripts/install-deps.sh): the .debs are NOT checked"
    failed_presets+=(lintian)
  elif ! python3 tests/package/check_debs.py dist; then
    loud_warning "the .debs FAILED their checks"
    failed_presets+=(debs)
  fi
fi
if [[ ${#failed_presets[@]} -gt 0 ]]; then
  loud_warning "packaging FAILED for: ${failed_presets[*]}"
  exit 1
fi
