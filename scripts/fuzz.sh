#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang++, ASan + UBSan) in build-fuzz/ and
# runs each for a bounded time; a crash, a sanitizer report or a broken
# invariant fails. What a run finds is kept in build-fuzz/findings/<harness>/.
#   scripts/fuzz.sh                   every harness for 60 s
#   scripts/fuzz.sh 30                every harness for 30 s
#   scripts/fuzz.sh 3600 framing      one harness for an hour (a long local run)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true

PX310_NEED_CLANG=1 scripts/deps.sh
build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DPX310_BUILD_FUZZERS=ON -DPX310_BUILD_TESTS=OFF -DPX310_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target px310_fuzzers

harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for exe in "$build"/fuzz/fuzz_*; do [ -f "$exe" ] && [ -x "$exe" ] && harnesses+=("${exe##*/fuzz_}"); done
fi

export ASAN_OPTIONS="detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for h in "${harnesses[@]}"; do
  corpus="$build/corpus/$h" findings="$build/findings/$h/" log="$build/fuzz-$h.log"
  mkdir -p "$corpus" "$findings"
  echo "fuzz $h for ${seconds}s"
  # A capture needs room for thousands of fragments.
  max_len=4096
  [ "$h" = capture ] && max_len=262144
  # New inputs go to the first folder; the committed seeds stay as they are.
  if "$build/fuzz/fuzz_$h" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 -max_len="$max_len" \
      -artifact_prefix="$findings" "$corpus" "fuzz/corpus/$h" >"$log" 2>&1; then
    grep -E "^(Done|stat::(number_of_executed_units|new_units_added))" "$log" | sed "s/^/  /"
  else
    echo "  FINDING in $h (log: $log, input in $findings):"
    grep -E -A30 "^==[0-9]+==ERROR|runtime error|invariant broken|deadly signal" "$log" | head -60 | sed "s/^/  /"
    status=1
  fi
done
exit $status
