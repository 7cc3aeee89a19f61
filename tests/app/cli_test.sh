#!/usr/bin/env bash
# The real binary at the process boundary: a report that cannot be written,
# input from a pipe, and the exit status seen by a shell.
set -u
tool="$1"
cd "$(dirname "$0")/../.."
failures=0
check() { # name, expected, actual
  if [[ "$2" != "$3" ]]; then
    printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

write_error="deployment example: cannot write report to standard output"

err=$("$tool" examples/demo.cplace 2>&1 >/dev/full); status=$?
check "full stdout: status" 1 "$status"
check "full stdout: message" "$write_error" "$err"

err=$("$tool" examples/demo.cplace 2>&1 >&-); status=$?
check "closed stdout: status" 1 "$status"
check "closed stdout: message" "$write_error" "$err"

out=$(cat examples/demo.cplace | "$tool" /dev/stdin); status=$?
check "pipe: status" 0 "$status"
check "pipe: report" "$(cat examples/demo.stdout)" "$out"

out=$("$tool" <(cat examples/demo.cplace)); status=$?
check "process substitution: status" 0 "$status"
check "process substitution: report" "$(cat examples/demo.stdout)" "$out"

out=$("$tool" examples 2>&1); status=$?
check "directory: status" 1 "$status"
check "directory: message" "deployment example: cannot open placement file: examples" "$out"

echo "$(( 5 - failures )) passed, ${failures} failed"
[[ $failures -eq 0 ]]
