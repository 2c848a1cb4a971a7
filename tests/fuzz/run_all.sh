#!/usr/bin/env bash
# Runs every fuzzer of a build for a fixed time, as many side by side as there are cores (JOBS),
# longest first. Fails when any of them found a crash, a timeout or a leak; each one's output goes
# to <build>/fuzz-<name>.log, and what it found is printed when it fails.
#   FUZZ_SECONDS (25), FUZZ_EVAL_SECONDS (75), FUZZ_SEED (1; 0 picks a random seed).
set -uo pipefail
build="$1"
jobs="${JOBS:-$(nproc)}"
here="$(cd "$(dirname "$0")" && pwd)"

run_one() {
  local f="$1" n secs extra corpus
  n="$(basename "$f" _fuzz)"
  secs="${FUZZ_SECONDS:-25}"
  # An input that runs 20 s is a hang (libFuzzer's own default is 20 minutes).
  extra="-timeout=20"
  if [ "$n" = eval ]; then
    secs="${FUZZ_EVAL_SECONDS:-75}"
    extra="$extra -close_fd_mask=1 -detect_leaks=0"
  fi
  if [ -f "$here/$n.dict" ]; then extra="$extra -dict=$here/$n.dict"; fi
  corpus=""
  if [ -d "$here/${n}_corpus" ]; then
    mkdir -p "$build/corpus/$n"
    corpus="$build/corpus/$n $here/${n}_corpus"
  fi
  # Each fuzzer's lines go to its own report, printed once all have ended, so that fuzzers
  # running side by side do not interleave them.
  local report="$build/fuzz-$n.report"
  echo "fuzzing $n for $secs s" > "$report"
  # shellcheck disable=SC2086
  if ! "$f" -seed="${FUZZ_SEED:-1}" -max_total_time="$secs" -rss_limit_mb=4096 \
       -artifact_prefix="$build/$n-" $extra $corpus > "$build/fuzz-$n.log" 2>&1; then
    # The report's head (what happened, the innermost frames) matters more than a deep stack's
    # tail, and the input itself goes last, where a shortened log still shows it.
    {
      echo "fuzzer $n failed:"
      sed -n '/^==[0-9]*==\|ALARM\|^ERROR: libFuzzer/,$p' "$build/fuzz-$n.log" | head -n 60
      grep -E "^SUMMARY" "$build/fuzz-$n.log"
      for a in "$build/$n"-crash-* "$build/$n"-timeout-* "$build/$n"-leak-* "$build/$n"-oom-*; do
        [ -f "$a" ] || continue
        echo "input $(basename "$a"):"
        python3 -c 'import sys; print(repr(open(sys.argv[1], "rb").read(4096)))' "$a"
      done
    } >> "$report"
    return 1
  fi
  grep -E "^Done [0-9]+ runs" "$build/fuzz-$n.log" | sed "s/^/$n: /" >> "$report"
}

# The evaluator's fuzzer runs longest: start it first.
fuzzers=()
[ -x "$build/tests/fuzz/eval_fuzz" ] && fuzzers+=("$build/tests/fuzz/eval_fuzz")
for f in "$build"/tests/fuzz/*_fuzz; do
  [ "$(basename "$f")" = eval_fuzz ] || fuzzers+=("$f")
done

status=0
running=0
for f in "${fuzzers[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  run_one "$f" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
for f in "${fuzzers[@]}"; do
  cat "$build/fuzz-$(basename "$f" _fuzz).report"
done
exit "$status"
