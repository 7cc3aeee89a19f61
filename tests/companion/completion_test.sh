#!/usr/bin/env bash
# Completes command lines of talvex_composite with the generated script of one
# shell, as that shell does when a user presses Tab, in a folder of sample
# files, and compares what it offers with what each line should offer.
# Usage: completion_test.sh bash|zsh|fish SCRIPT   (exits 77, skipped, when
# the shell is not installed)
set -uo pipefail
shell=$1
script=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
command -v "$shell" >/dev/null || { echo "$shell is not installed: skipped"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/files/plans" "$work/files/machines"
touch "$work/files/plans/a.cplace" "$work/files/plans/notes.txt" "$work/files/machines/m.json" \
  "$work/files/system.toml" "$work/files/readme.txt"
cd "$work/files" || exit 1

"$shell" -n "$script" || { echo "FAIL: $shell -n $script"; exit 1; }

# What the shell offers for LINE (completed where it ends), sorted on one
# line: file names without their folders (which zsh leaves out) or a trailing
# '/', values without the '--option=' that fish repeats.
offered() {
  local line=$1
  case $shell in
  bash)
    # bash splits words at '=' as well as at blanks.
    bash --norc --noprofile -c '
      source "$1"
      read -ra COMP_WORDS <<<"${2//=/ = }"
      [[ $2 == *" " ]] && COMP_WORDS+=("")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      _talvex_composite
      printf "%s\n" "${COMPREPLY[@]}"' _ "$script" "$line"
    ;;
  fish)
    fish --no-config -c 'source $argv[1]; complete -C $argv[2]' "$script" "$line" | cut -f1
    ;;
  zsh)
    HOME=$work/home TMPDIR=$work/home timeout 60 \
      zsh -f "$here/zsh_completion.zsh" "$script" "$line" | tr ' ' '\n'
    ;;
  esac | sed -e 's|/$||' -e 's|.*/||' -e 's|^--[a-z]*=||' | grep -v '^$' | sort |
    tr '\n' ' ' | sed 's/ $//'
}

failed=0
expect() { # line, what it offers
  local got
  got=$(offered "$1")
  if [[ $got != "$2" ]]; then
    printf 'FAIL %s: [%s]\n  offers:   %s\n  expected: %s\n' "$shell" "$1" "$got" "$2"
    failed=1
  fi
}

expect 'talvex_composite ' 'check deploy explain fit help inventory system'
expect 'talvex_composite ch' 'check'
expect 'talvex_composite help ' 'check deploy explain fit help inventory system'
expect 'talvex_composite check -' '--color --format --help --inventory --system -h'
expect 'talvex_composite fit --' '--format --help --jobs --system'
expect 'talvex_composite deploy --format ' 'json kubernetes text'
expect 'talvex_composite system x.toml --format ' 'dot json text'
expect 'talvex_composite check --format=' 'json text'
expect 'talvex_composite inventory --inventory ' 'fixture host machines plans'
expect 'talvex_composite system ' 'machines plans system.toml'
expect 'talvex_composite check plans/' 'a.cplace'
expect 'talvex_composite fit plans/a.cplace machines/' 'm.json'
# No second file; zsh offers the options where no operand is left.
if [[ $shell == zsh ]]; then
  expect 'talvex_composite deploy plans/a.cplace ' '--format --help --inventory --system -h'
else
  expect 'talvex_composite deploy plans/a.cplace ' ''
fi
# Options before the subcommand: theirs are the values of every subcommand.
expect 'talvex_composite --format ' 'dot json kubernetes text'
expect 'talvex_composite --format json ex' 'explain'
expect 'talvex_composite --system system.toml check plans/' 'a.cplace'

exit $failed
