#!/usr/bin/env bash
# Makes the archives of a build, unpacks each into a prefix of its own and uses it the way a host's
# developer would: a small host outside the tree is built against it with find_package and with
# pkg-config, then run (under wine for Windows), and the log the library leaves is read. A file
# missing from a package, a consumer that does not build, or a run without the whole log fails.
#
#   consume_packages.sh BUILD_DIR WORK_DIR PLATFORM VERSION SYMBOL_TOOL PROGRAM...
#
# PLATFORM is linux64, linux32 or win32; SYMBOL_TOOL is nm (Linux) or objdump (Windows) for the
# export checks; PROGRAM names each program the package must carry. CC and CFLAGS are the build's.
# VELK_REPLAY32, where it names an existing program, is the 32-bit velk-replay that the package
# must carry as bin/velk-replay32, statically linked, and that its velk-replay hands 32-bit traces to.
set -euo pipefail
build_dir=$1 work=$2 platform=$3 version=$4 symbol_tool=$5
shift 5
programs=("$@")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
consumer_source=$root/tests/package/consumer

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
cpack --config "$build_dir/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$work/cpack.log")"
(cd "$work/packages" && sha256sum --check --quiet ./*.sha256) || fail "a checksum does not match"

expected=(include/velk/allocator.h include/velk/version.h share/doc/VelkAllocator/README.md
  lib/pkgconfig/velkallocator.pc lib/cmake/VelkAllocator/VelkAllocatorConfig.cmake
  lib/cmake/VelkAllocator/VelkAllocatorConfigVersion.cmake "${programs[@]/#/bin/}")
replay32=0
if [[ -x ${VELK_REPLAY32:-} ]]; then
  replay32=1
  expected+=(bin/velk-replay32)
fi
if [[ $platform == win32 ]]; then
  expected+=(bin/VelkAllocator.dll lib/libVelkAllocator.dll.a lib/VelkAllocator.def
    bin/VelkAllocator-traced.dll lib/libVelkAllocator-traced.dll.a lib/VelkAllocator-traced.def)
  library=bin/VelkAllocator.dll
  export_check=(-DOBJDUMP="$symbol_tool" -P "$root/tests/library/check_dll_exports.cmake")
else
  for name in velkallocator velkallocator-traced velkmalloc; do
    expected+=("lib/lib$name.so" "lib/lib$name.so.${version%%.*}" "lib/lib$name.so.$version")
  done
  library=lib/libvelkallocator.so.$version
  export_check=(-DNM="$symbol_tool" -P "$root/tests/library/check_so_exports.cmake")
fi

# Unpacks a package into $work/NAME and prints the prefix inside it.
unpack() {
  local package=$1 name=$2
  mkdir -p "$work/$name"
  case $package in
    *.deb)
      dpkg-deb -x "$package" "$work/$name"
      echo "$work/$name/usr"
      ;;
    *)
      (cd "$work/$name" && cmake -E tar xf "$package")
      echo "$work/$name/$(basename "${package%.tar.gz}" .zip)"
      ;;
  esac
}

check_contents() {
  local prefix=$1 file
  for file in "${expected[@]}"; do
    [[ -e $prefix/$file ]] || fail "$(basename "$(dirname "$prefix")") lacks $file"
  done
  cmake -DLIBRARY="$prefix/$library" "${export_check[@]}" >/dev/null || fail "exports of $library"
  if [[ $platform == win32 ]]; then
    [[ $(strings -el "$prefix/$library" | grep -A1 -x ProductVersion | tail -n 1) == "$version" ]] ||
      fail "$library has no version resource of $version"
  fi
}

# Runs a built consumer in its own folder and checks what it printed and the log it left there.
run_consumer() {
  local program=$1 prefix=$2 folder
  folder=$(dirname "$program")
  if [[ $platform == win32 ]]; then
    cp "$prefix/bin/VelkAllocator.dll" "$folder/"
    (cd "$folder" && "$root/scripts/wine-run.sh" "./$(basename "$program")") >"$folder/out.txt"
  else
    readelf -d "$program" | grep -q "NEEDED.*\[libvelkallocator\.so\.${version%%.*}\]" ||
      fail "$program does not ask for libvelkallocator.so.${version%%.*}"
    (cd "$folder" && LD_LIBRARY_PATH=$prefix/lib "$program") >"$folder/out.txt"
  fi
  grep -q "^VelkAllocator $version: allocated and freed 1000 bytes" "$folder/out.txt" ||
    fail "$program printed: $(cat "$folder/out.txt")"
  local line
  for line in "Velk allocator loaded" "Pre-allocated 640M VA segment, result = [01]" \
    "shutting down Velk allocator" "num allocs +: 1" "num frees +: 1" "alloc blocks +: 0"; do
    grep -Eq "^$line"$'\r?$' "$folder/VelkAllocator.log" || fail "$program: no '$line' in its log"
  done
}

# find_package(VelkAllocator 1.0) with the build's compiler; its version file refuses a package
# of the other bitness.
consume_with_cmake() {
  local prefix=$1 build=$work/cmake-consumer
  local arguments=(-S "$consumer_source" -B "$build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix")
  [[ $platform == win32 ]] && arguments+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake")
  if ! cmake "${arguments[@]}" >"$work/cmake-consumer.log" 2>&1 ||
    ! cmake --build "$build" >>"$work/cmake-consumer.log" 2>&1; then
    fail "find_package consumer: $(cat "$work/cmake-consumer.log")"
  fi
  run_consumer "$build/consumer$([[ $platform == win32 ]] && echo .exe)" "$prefix"
}

consume_with_pkg_config() {
  local prefix=$1 build=$work/pkg-config-consumer flags
  export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
  [[ $(pkg-config --modversion velkallocator) == "$version" ]] || fail "velkallocator.pc version"
  read -r -a flags <<<"$(pkg-config --cflags --libs velkallocator)"
  mkdir -p "$build"
  # shellcheck disable=SC2086 # CFLAGS holds separate flags
  $CC $CFLAGS "$consumer_source/host.c" "${flags[@]}" -o "$build/consumer" ||
    fail "pkg-config consumer does not build"
  run_consumer "$build/consumer$([[ $platform == win32 ]] && echo .exe)" "$prefix"
}

# The programs in the package run from it alone.
run_velk_host() {
  local prefix=$1 run=$work/velk-host-run
  mkdir -p "$run"
  if [[ $platform == win32 ]]; then
    (cd "$run" && "$root/scripts/wine-run.sh" "$prefix/bin/velk-host.exe" --workload small \
      "$prefix/$library") >"$run/out.txt"
  else
    (cd "$run" && "$prefix/bin/velk-host" --workload small "$prefix/$library") >"$run/out.txt"
  fi
  grep -q " 0 faults" "$run/out.txt" || fail "packaged velk-host: $(cat "$run/out.txt")"
}

# A trace of the Windows DLL (32-bit pointers, CRLF) through the packaged velk-replay, which hands it
# to velk-replay32 beside it; that one runs without any i386 library.
run_velk_replay32() {
  local prefix=$1 run=$work/velk-replay-run headers
  mkdir -p "$run"
  headers=$(readelf -l "$prefix/bin/velk-replay32")
  [[ $headers == *"program interpreter"* ]] && fail "velk-replay32 is not statically linked"
  # A kernel without IA-32 support runs no 32-bit program: the hand-over cannot be seen there.
  if ! "$prefix/bin/velk-replay32" --version >/dev/null 2>&1; then
    echo "SKIPPED: the hand-over to velk-replay32 (this kernel cannot run 32-bit programs)"
    return
  fi
  printf '%s\r\n' "Velk allocator loaded" "Pre-allocated 640M VA segment, result = 1" \
    "[000004d0]: allocated 24 bytes: 02A30010" "[000004d0]: freeing: 02A30010" >"$run/trace.log"
  "$prefix/bin/velk-replay" "$run/trace.log" >"$run/out.txt" 2>&1 ||
    fail "packaged velk-replay on a 32-bit trace: $(cat "$run/out.txt")"
  grep -q "replayed on the 32-bit engine" "$run/out.txt" ||
    fail "packaged velk-replay did not hand a 32-bit trace over: $(cat "$run/out.txt")"
}

if [[ $platform == win32 ]]; then
  prefix=$(unpack "$work/packages/VelkAllocator-$version-win32.zip" zip)
  check_contents "$prefix"
  consume_with_cmake "$prefix"
  consume_with_pkg_config "$prefix"
  run_velk_host "$prefix"
else
  # The .tar.gz serves the CMake consumer, the .deb the pkg-config one; both hold every file.
  archive_prefix=$(unpack "$work/packages/VelkAllocator-$version-$platform.tar.gz" tar)
  deb_prefix=$(unpack "$(echo "$work"/packages/velkallocator_"$version"_*.deb)" deb)
  check_contents "$archive_prefix"
  check_contents "$deb_prefix"
  consume_with_cmake "$archive_prefix"
  consume_with_pkg_config "$deb_prefix"
  run_velk_host "$archive_prefix"
  if [[ $replay32 -eq 1 ]]; then
    run_velk_replay32 "$deb_prefix"
  fi
fi
echo "packages of $platform: every file present, both consumers built and ran"
