#!/usr/bin/env bash
# Runs each argument as a shell command, all at once, so that a single-threaded test run shares
# the machine with a parallel one instead of leaving cores idle. Each command's output is printed
# whole once all have ended, in the order given; fails when any of them failed.
set -uo pipefail
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
pids=()
for i in $(seq 1 $#); do
  bash -c "${!i}" > "$dir/$i.log" 2>&1 &
  pids+=("$!")
done
status=0
for i in $(seq 1 $#); do
  if wait "${pids[$((i - 1))]}"; then result="passed"; else result="FAILED"; status=1; fi
  echo "=== $result: ${!i}"
  cat "$dir/$i.log"
done
exit "$status"
