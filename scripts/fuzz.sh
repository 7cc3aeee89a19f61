#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang and runs each of them in turn with
# a working corpus: the placement targets with the placement dictionary and
# seeds from the test and example placements, the probe's readers with the
# kernel's texts in fuzz/seeds/probe, the safetensors readers with the headers
# and indexes in fuzz/seeds/safetensors and inputs long enough to nest deeply.
# Exits non-zero on the first finding; the input that caused it is left in
# build-fuzz/artifacts/<target>/.
#
# Usage: scripts/fuzz.sh [--smoke] [target...]
#   FUZZ_SECONDS  seconds per target (default 180; --smoke: 30)
#   FUZZ_BUILD    build folder (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-180}"
if [[ "${1:-}" == "--smoke" ]]; then
  seconds="${FUZZ_SECONDS:-30}"
  shift
fi
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(parse_placement_fuzzer run_fuzzer companion_fuzzer
  system_file_fuzzer probe_readers_fuzzer safetensors_fuzzer)
build="${FUZZ_BUILD:-build-fuzz}"

scripts/install-deps.sh build fuzz
cxx=$(command -v clang++ || command -v clang++-14)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DTALVEX_BUILD_FUZZERS=ON -DTALVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

status=0
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  # The repository keeps only the seeds; what the fuzzer learns stays here.
  dict=(-dict=fuzz/placement.dict)
  max_len=4096
  if [[ $target == system_file_fuzzer ]]; then
    dict=(-dict=fuzz/system.dict)
    cp examples/*.toml tests/companion/systems/*.toml "$corpus"/
    # A system file and the model config its transformer names, in one input.
    for model in examples/models/*.json tests/companion/systems/*.json; do
      { cat examples/assistant/assistant.toml; printf '\n%%%%config.json\n'; cat "$model"; } \
        >"$corpus/with-$(basename "$model" .json).toml"
    done
  elif [[ $target == probe_readers_fuzzer ]]; then
    cp fuzz/seeds/probe/* "$corpus"/
    dict=()
  elif [[ $target == safetensors_fuzzer ]]; then
    cp fuzz/seeds/safetensors/* "$corpus"/
    dict=(-dict=fuzz/safetensors.dict)
    max_len=300000
  else
    cp tests/app/cases/*.cplace examples/*.cplace fuzz/seeds/*.cplace "$corpus"/
  fi
  echo "== $target: ${seconds}s, corpus $corpus"
  log="$build/$target.log"
  if ! "$build/fuzz/$target" "$corpus" "${dict[@]}" \
      -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 \
      -artifact_prefix="$artifacts/" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "FINDING in $target: see $log and $artifacts/" >&2
    status=1
    continue
  fi
  grep -E '^(Done [0-9]+ runs|stat::(number_of_executed_units|average_exec_per_sec|new_units_added))' "$log" || true
done
exit "$status"
