#!/usr/bin/env bash
# Static analysis: clang-tidy (checks in .clang-tidy) over src/, tests/ and
# fuzz/ with the compile database of a Clang configure, then cppcheck over
# src/ and fuzz/. Exits non-zero on any finding of either.
# Usage: scripts/analyze.sh [--quick]
#   --quick        leaves out clang-tidy's static analyser (clang-analyzer-*),
#                  which takes about 40% of the time
#   ANALYZE_BUILD  folder for the compile database (default build-tidy)
#   ANALYZE_JOBS   parallel clang-tidy processes (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${ANALYZE_BUILD:-build-tidy}"
jobs="${ANALYZE_JOBS:-2}"
extra_checks=()
if [[ "${1:-}" == "--quick" ]]; then
  extra_checks=(-checks=-clang-analyzer-*)
fi

# The compile database comes from a Clang configure (no build is needed), so
# the flags are ones clang-tidy knows; the fuzzers need Clang as well.
scripts/install-deps.sh build test fuzz analysis
cxx=$(command -v clang++ || command -v clang++-14)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER="$cxx" \
  -DTALVEX_BUILD_TESTS=ON -DTALVEX_BUILD_FUZZERS=ON >/dev/null

status=0
echo "== clang-tidy"
tidy_runner=$(command -v run-clang-tidy || command -v run-clang-tidy-14)
if ! "$tidy_runner" -p "$build" -j "$jobs" -quiet "${extra_checks[@]}" "$PWD/(src|tests|fuzz)/.*\.cc\$" \
    >"$build/clang-tidy.log" 2>&1; then
  status=1
fi
# Diagnostics only, without the progress lines and the "N warnings generated" counts.
grep -E '(warning|error):' "$build/clang-tidy.log" | sort -u || true

echo "== cppcheck"
# useStlAlgorithm is off: it asks for std::transform and std::accumulate in
# place of loops that return early or chain checked (optional) arithmetic,
# which read worse as algorithms.
if ! cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
    --inline-suppr --suppress=useStlAlgorithm --error-exitcode=1 -q -I src \
    --template='{file}:{line}:{column}: {severity}: {message} [{id}]' src fuzz; then
  status=1
fi

[[ $status -eq 0 ]] && echo "analysis clean" || echo "analysis found problems" >&2
exit "$status"
