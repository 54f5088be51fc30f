#!/usr/bin/env bash
# Makes the archives of a build, unpacks each into a prefix of its own and uses it as a host's
# developer would: a host outside the tree is built against it with find_package, with pkg-config
# and (Windows) with Microsoft's toolchain, played by clang and lld-link, then run, and the log the
# library leaves is read. Windows programs run under wine only where this kernel runs 32-bit
# programs; elsewhere those runs are skipped, loudly, and the rest is still checked.
#   consume_packages.sh BUILD_DIR WORK_DIR PLATFORM VERSION SYMBOL_TOOL PROGRAM...
# PLATFORM is linux64, linux32 or win32; SYMBOL_TOOL is nm (Linux) or objdump (Windows); PROGRAM
# names each program the package must carry. CC and CFLAGS are the build's. VELK_REPLAY32, where it
# names a program, must be carried as bin/velk-replay32, statically linked, and be what the
# package's velk-replay hands 32-bit traces to.
set -euo pipefail
build_dir=$1 work=$2 platform=$3 version=$4 symbol_tool=$5
shift 5
programs=("$@")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
consumer_source=$root/tests/package/consumer
# shellcheck source=scripts/presets.sh
source "$root/scripts/presets.sh"

fail() { echo "FAIL: $*" >&2 && exit 1; }

rm -rf "$work" && mkdir -p "$work"
cpack --config "$build_dir/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$work/cpack.log")"
(cd "$work/packages" && sha256sum --check --quiet ./*.sha256) || fail "a checksum does not match"

case $platform in
  linux64) libdir=lib/x86_64-linux-gnu ;;
  linux32) libdir=lib/i386-linux-gnu ;;
  *) libdir=lib ;;
esac
expected=(include/velk/allocator.h include/velk/version.h "$libdir/pkgconfig/velkallocator.pc"
  "$libdir/cmake/VelkAllocator/VelkAllocatorConfig.cmake"
  "$libdir/cmake/VelkAllocator/VelkAllocatorConfigVersion.cmake" "${programs[@]/#/bin/}")
# The licence and the notices: in share/doc/VelkAllocator of an archive, in each .deb's copyright
# (checked below).
archive_expected=(share/doc/VelkAllocator/README.md share/doc/VelkAllocator/LICENSE
  share/doc/VelkAllocator/LICENSE.CLI11)
[[ -x ${VELK_REPLAY32:-} ]] && expected+=(bin/velk-replay32)
exe='' launch=()  # how a program of the package is named and run
if [[ $platform == win32 ]]; then
  archive_expected+=(share/doc/VelkAllocator/LICENSE.winpthreads)
  for name in VelkAllocator VelkAllocator-traced; do
    expected+=("bin/$name.dll" "lib/lib$name.dll.a" "lib/$name.def" "lib/$name.lib")
  done
  library=bin/VelkAllocator.dll exe=.exe launch=("$root/scripts/wine-run.sh")
  export_check=(-DOBJDUMP="$symbol_tool" -P "$root/tests/library/check_dll_exports.cmake")
else
  for name in velkallocator velkallocator-traced velkmalloc; do
    expected+=("$libdir/lib$name.so" "$libdir/lib$name.so.${version%%.*}"
      "$libdir/lib$name.so.$version")
  done
  expected+=(share/man/man1/velk-host.1.gz share/man/man1/velk-replay.1.gz
    share/man/man7/libvelkmalloc.7.gz)
  library=$libdir/libvelkallocator.so.$version
  export_check=(-DNM="$symbol_tool" -P "$root/tests/library/check_so_exports.cmake")
fi

# Unpacks an archive into $work/NAME and prints the prefix inside it.
unpack() {
  mkdir -p "$work/$2" && (cd "$work/$2" && cmake -E tar xf "$1")
  echo "$work/$2/$(basename "${1%.tar.gz}" .zip)"
}

check_contents() {
  local prefix=$1 file
  shift
  for file in "${expected[@]}" "$@"; do
    [[ -e $prefix/$file ]] || fail "$(basename "$(dirname "$prefix")") lacks $file"
  done
  cmake -DLIBRARY="$prefix/$library" "${export_check[@]}" >/dev/null || fail "exports of $library"
  [[ $platform != win32 ||
    $(strings -el "$prefix/$library" | grep -A1 -x ProductVersion | tail -n 1) == "$version" ]] ||
    fail "$library has no version resource of $version"
}

# True when this machine runs Windows programs (wine, and a kernel that runs 32-bit programs);
# otherwise says that PROGRAM's run under wine is skipped, and why.
skipped_runs=0
runs_under_wine() {
  command -v wine >/dev/null && kernel_runs_i386 && return
  skipped_runs=$((skipped_runs + 1))
  printf '\n!!! SKIPPED: %s under wine (%s)\n\n' "$1" \
    "$(command -v wine >/dev/null && echo "this kernel cannot run 32-bit programs" || echo "no wine")"
  return 1
}

# Runs a built consumer in its own folder and checks what it printed and the log it left there.
run_consumer() {
  local program=$1 prefix=$2 said=${3:-"VelkAllocator $version: allocated and freed 1000 bytes"}
  local folder line
  folder=$(dirname "$program")
  if [[ $platform == win32 ]]; then
    runs_under_wine "$program" || return 0
    cp "$prefix/bin/VelkAllocator.dll" "$folder/"
  else
    readelf -d "$program" | grep -q "NEEDED.*\[libvelkallocator\.so\.${version%%.*}\]" ||
      fail "$program does not ask for libvelkallocator.so.${version%%.*}"
  fi
  (cd "$folder" && LD_LIBRARY_PATH=$prefix/$libdir "${launch[@]}" "./$(basename "$program")") \
    >"$folder/out.txt"
  grep -q "^$said" "$folder/out.txt" || fail "$program printed: $(cat "$folder/out.txt")"
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
  # CMake looks in lib/<multiarch> only where it knows the folder from libraries already there. A
  # Debian system with the -dev package has them (its C library); a machine with multilib's lib32
  # alone has not, so the consumer is given the folder such a system would find.
  [[ $libdir == lib/*-linux-gnu ]] && arguments+=(-DCMAKE_LIBRARY_ARCHITECTURE="${libdir#lib/}")
  { cmake "${arguments[@]}" && cmake --build "$build"; } >"$work/cmake-consumer.log" 2>&1 ||
    fail "find_package consumer: $(cat "$work/cmake-consumer.log")"
  run_consumer "$build/consumer$exe" "$prefix"
}

consume_with_pkg_config() {
  local prefix=$1 build=$work/pkg-config-consumer flags
  export PKG_CONFIG_LIBDIR=$prefix/$libdir/pkgconfig
  [[ $(pkg-config --modversion velkallocator) == "$version" ]] || fail "velkallocator.pc version"
  read -r -a flags <<<"$(pkg-config --cflags --libs velkallocator)"
  mkdir -p "$build"
  # shellcheck disable=SC2086 # CFLAGS holds separate flags
  $CC $CFLAGS "$consumer_source/host.c" "${flags[@]}" -o "$build/consumer" ||
    fail "pkg-config consumer does not build"
  run_consumer "$build/consumer$exe" "$prefix"
}

# The programs in the package run from it alone.
run_velk_host() {
  local prefix=$1 run=$work/velk-host-run
  mkdir -p "$run"
  [[ $platform != win32 ]] || runs_under_wine "the packaged velk-host.exe" || return 0
  (cd "$run" && "${launch[@]}" "$prefix/bin/velk-host$exe" --workload small "$prefix/$library") \
    >"$run/out.txt"
  grep -q " 0 faults" "$run/out.txt" || fail "packaged velk-host: $(cat "$run/out.txt")"
}

# A trace of the Windows DLL (32-bit pointers, CRLF) through the packaged velk-replay, which hands it
# to velk-replay32 beside it; that one runs without any i386 library.
run_velk_replay32() {
  local prefix=$1 run=$work/velk-replay-run
  mkdir -p "$run"
  [[ $(readelf -l "$prefix/bin/velk-replay32") == *"program interpreter"* ]] &&
    fail "velk-replay32 is not statically linked"
  # A kernel without IA-32 support runs no 32-bit program: the hand-over cannot be seen there.
  "$prefix/bin/velk-replay32" --version >/dev/null 2>&1 ||
    { echo "SKIPPED: the hand-over to velk-replay32 (no 32-bit programs run here)" && return; }
  printf '%s\r\n' "Velk allocator loaded" "Pre-allocated 640M VA segment, result = 1" \
    "[000004d0]: allocated 24 bytes: 02A30010" "[000004d0]: freeing: 02A30010" >"$run/trace.log"
  "$prefix/bin/velk-replay" "$run/trace.log" >"$run/out.txt" 2>&1 ||
    fail "packaged velk-replay on a 32-bit trace: $(cat "$run/out.txt")"
  grep -q "replayed on the 32-bit engine" "$run/out.txt" ||
    fail "packaged velk-replay did not hand a 32-bit trace over: $(cat "$run/out.txt")"
}

# The export names of a DLL, one a line, as objdump shows its export table.
dll_export_names() {
  "$symbol_tool" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort
}

# The names a program imports from one DLL, one a line ("vma hint name" rows of objdump -p).
imported_names() {
  "$symbol_tool" -p "$1" | awk -v dll="$2" '
    /DLL Name:/ { inside = ($3 == dll); next }
    /^[[:space:]]*$/ { inside = 0 }
    inside && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print $3 }' | sort
}

# A host compiled by clang as Microsoft's compiler would compile it, as C and as C++, linked by
# lld-link against each import library in Microsoft's format (and a kernel32.lib made from three
# names by llvm-dlltool), must import from the DLL exactly the names the DLL exports; the C one
# runs under wine with the DLL beside it.
consume_with_msvc_toolchain() {
  local prefix=$1 build=$work/msvc-consumer name language imports exports
  mkdir -p "$build"
  printf 'LIBRARY KERNEL32.dll\nEXPORTS\n  GetStdHandle@4\n  WriteFile@20\n  ExitProcess@4\n' \
    >"$build/kernel32.def"
  llvm-dlltool -m i386 -k -d "$build/kernel32.def" -l "$build/kernel32.lib" ||
    fail "llvm-dlltool could not make kernel32.lib"
  for name in VelkAllocator VelkAllocator-traced; do
    for language in c c++; do
      local host=$build/$name-$language/host.exe
      mkdir -p "$(dirname "$host")"
      clang --target=i686-pc-windows-msvc -ffreestanding -Wall -Wextra -Werror -x "$language" \
        -I"$prefix/include" -c "$root/tests/package/msvc_host.c" -o "${host%.exe}.obj" ||
        fail "velk/allocator.h does not compile as MSVC $language"
      lld-link /nologo /subsystem:console /entry:hostMain /nodefaultlib /largeaddressaware \
        /machine:x86 "${host%.exe}.obj" "$prefix/lib/$name.lib" "$build/kernel32.lib" \
        /out:"$host" >"$build/link.log" 2>&1 ||
        fail "an MSVC-style $language host does not link against $name.lib: $(cat "$build/link.log")"
      imports=$(imported_names "$host" "$name.dll")
      exports=$(dll_export_names "$prefix/bin/$name.dll")
      [[ $imports == "$exports" ]] ||
        fail "the MSVC-style $language host imports from $name.dll: $imports; it exports: $exports"
    done
  done
  run_consumer "$build/VelkAllocator-c/host.exe" "$prefix" "MSVC host: allocated and freed 1000 bytes"
}

if [[ $platform == win32 ]]; then
  prefix=$(unpack "$work/packages/VelkAllocator-$version-win32.zip" zip)
  check_contents "$prefix" "${archive_expected[@]}"
  consume_with_msvc_toolchain "$prefix"
  consume_with_cmake "$prefix"
  consume_with_pkg_config "$prefix"
  run_velk_host "$prefix"
else
  # The .debs serve the CMake consumer, the .tar.gz the pkg-config one; both hold every file, in
  # the same multiarch folders.
  archive_prefix=$(unpack "$work/packages/VelkAllocator-$version-$platform.tar.gz" tar)
  for deb in "$work"/packages/*.deb; do dpkg-deb -x "$deb" "$work/deb"; done  # as installing all
  deb_prefix=$work/deb/usr
  check_contents "$archive_prefix" "${archive_expected[@]}"
  check_contents "$deb_prefix"
  # Each .deb names both licences, and its changelog starts with the release it comes with.
  for package in libvelkallocator${version%%.*} libvelkallocator-dev velkallocator-tools; do
    for license in Expat BSD-3-clause; do
      grep -q "^License: $license" "$deb_prefix/share/doc/$package/copyright" ||
        fail "the copyright file of $package lacks the $license licence"
    done
    [[ $(gzip -dc "$deb_prefix/share/doc/$package/changelog.gz" | head -n 1) == *"($version)"* ]] ||
      fail "the changelog of $package does not start with $version (packaging/changelog.in)"
  done
  consume_with_cmake "$deb_prefix"
  consume_with_pkg_config "$archive_prefix"
  run_velk_host "$archive_prefix"
  [[ -x ${VELK_REPLAY32:-} ]] && run_velk_replay32 "$deb_prefix"
fi
echo "packages of $platform: every file present, every consumer built$([[ $skipped_runs -gt 0 ]] &&
  echo "; $skipped_runs runs SKIPPED" || echo " and ran")"
