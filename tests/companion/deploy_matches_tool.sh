#!/usr/bin/env bash
# Both executables on every placement file of the tree: `talvex_composite
# deploy` must give the tool's standard output, standard error and status,
# byte for byte. Also the process boundary: a closed standard output.
set -u
companion="$1"
tool="$2"
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
checked=0
for file in examples/*.cplace tests/app/cases/*.cplace tests/companion/cases/*.cplace \
  tests/app/cases/no-such-file.cplace examples; do
  "$tool" "$file" >"$work/tool.out" 2>"$work/tool.err"
  tool_status=$?
  "$companion" deploy "$file" >"$work/companion.out" 2>"$work/companion.err"
  companion_status=$?
  if [[ $tool_status -ne $companion_status ]] || ! cmp -s "$work/tool.out" "$work/companion.out" ||
    ! cmp -s "$work/tool.err" "$work/companion.err"; then
    echo "FAIL $file: tool $tool_status, companion $companion_status"
    diff "$work/tool.out" "$work/companion.out"
    diff "$work/tool.err" "$work/companion.err"
    failures=$((failures + 1))
  fi
  checked=$((checked + 1))
done

err=$("$companion" check examples/oom.cplace 2>&1 >&-); status=$?
if [[ $status -ne 1 || $err != "talvex_composite: error: cannot write to standard output" ]]; then
  echo "FAIL closed stdout: status $status, '$err'"
  failures=$((failures + 1))
fi

# '-' is standard input, a pipe as well as a file, named <stdin>.
for how in file pipe; do
  if [[ $how == file ]]; then
    "$companion" check - <tests/companion/cases/misspelled_field.cplace >"$work/stdin.out"
  else
    cat tests/companion/cases/misspelled_field.cplace | "$companion" check - >"$work/stdin.out"
  fi
  sed 's|tests/companion/cases/misspelled_field.cplace|<stdin>|' \
    tests/companion/cases/misspelled_field.check >"$work/stdin.expected"
  if ! cmp -s "$work/stdin.out" "$work/stdin.expected"; then
    echo "FAIL check - from a $how"
    diff "$work/stdin.expected" "$work/stdin.out"
    failures=$((failures + 1))
  fi
  checked=$((checked + 1))
done
if ! "$companion" deploy - <examples/demo.cplace | cmp -s - <("$tool" examples/demo.cplace); then
  echo "FAIL deploy - is not the tool's report"
  failures=$((failures + 1))
fi

echo "$((checked + 1 - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
