#!/usr/bin/env bash
# Long fuzzing campaign: every target until 10,000,000 executions or
# 30 minutes, whichever comes first, one target at a time. Builds and seeds
# through fuzz_smoke.sh first, then grows build/fuzz-work/<target> (kept
# between campaigns). Prints one line of figures per target; a finding stops
# the campaign with its input under build/fuzz-work/<target>/.
#
#   scripts/fuzz_campaign.sh [TARGET ...]     (default: all five)
#
# Runs at nice 19 so it can share a small machine with other work.
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${BRIVANE_FUZZ_RUNS:-10000000}
SECONDS_CAP=${BRIVANE_FUZZ_SECONDS:-1800}
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(manifest record update_table embedded_metadata metadata_table)

scripts/fuzz_smoke.sh 1 >/dev/null

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions="$PWD/fuzz/ubsan.supp"
for target in "${TARGETS[@]}"; do
  work="build/fuzz-work/$target"
  mkdir -p "$work/artifacts"
  log="build/fuzz-work/$target.campaign.log"
  start=$(date +%s)
  if ! nice -n 19 build/asan/fuzz/fuzz_"$target" -runs="$RUNS" -max_total_time="$SECONDS_CAP" \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
      "$work" build/fuzz-corpus/"$target" >/dev/null 2>"$log"; then
    tail -n 40 "$log" >&2
    echo "fuzz_$target: finding after $(( $(date +%s) - start )) s, input under $work/artifacts/" >&2
    exit 1
  fi
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$')
  echo "fuzz_$target: $execs executions in $(( $(date +%s) - start )) s, clean ($(date -u +%FT%TZ))"
done
