#!/usr/bin/env bash
# Runs real programs with and without libvelkmalloc.so preloaded and compares what they print
# (and write) byte for byte. Usage: run_programs.sh <libvelkmalloc.so> <g++ source>
set -uo pipefail
shim=$(realpath "$1")
source_file=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# run <name> <command...>: once plainly, once under the shim, in fresh directories; stdout,
# stderr, exit status and every file the command leaves behind must agree.
run() {
  local name=$1 mode
  shift
  for mode in plain shim; do
    mkdir -p "$work/$mode/$name"
    (
      cd "$work/$mode/$name" || exit 1
      if [[ $mode == shim ]]; then export LD_PRELOAD=$shim; fi
      "$@" >../"$name.out" 2>../"$name.err"
      echo "exit $?" >>../"$name.out"
    )
  done
  if { diff "$work/plain/$name.out" "$work/shim/$name.out" &&
    diff "$work/plain/$name.err" "$work/shim/$name.err" &&
    diff -r "$work/plain/$name" "$work/shim/$name"; } >"$work/$name.diff"; then
    echo "same: $name ($SECONDS s)"
  else
    echo "DIFFERENT: $name"; head -20 "$work/$name.diff"; failed=1
  fi
}

# The shim really is in the programs' address space.
LD_PRELOAD=$shim bash -c 'grep -q velkmalloc /proc/$$/maps' || { echo "the shim was not loaded"; exit 1; }

run python python3 "$here/dicts_and_lists.py"

# sort: 100 MB of random lines, sorted with a large buffer and two threads.
head -c 75000000 /dev/urandom | base64 -w 76 >"$work/lines.txt"
run sort bash -c "sort --parallel=2 -S 200M '$work/lines.txt' | md5sum"

run gxx g++ -O2 -std=c++20 -c "$source_file" -o compiled.o

git_script='
export GIT_AUTHOR_NAME=Tester GIT_AUTHOR_EMAIL=t@example.com GIT_COMMITTER_NAME=Tester
export GIT_COMMITTER_EMAIL=t@example.com GIT_AUTHOR_DATE="2026-01-01T00:00:00Z"
export GIT_COMMITTER_DATE="2026-01-01T00:00:00Z" GIT_CONFIG_NOSYSTEM=1 HOME=$PWD
git init -q -b main repo && cd repo || exit 1
for round in 1 2 3 4 5 6 7 8; do
  seq $((round * 1000)) $((round * 5000)) >numbers-$round.txt
  sed "s/1/one/g" numbers-$round.txt >words-$round.txt
  git add . && git commit -q -m "round $round"
done
git log --stat --format="%H %s" | head -60
git gc -q --aggressive && git count-objects -v | grep -v size && git fsck --no-progress
git rev-list --all --objects | wc -l
rm .git/index  # holds file times and inode numbers'
run git bash -c "$git_script"

run bash bash "$here/scripted.sh"

exit $failed
