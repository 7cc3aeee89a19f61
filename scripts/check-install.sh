#!/usr/bin/env bash
# Installs a release build into a temporary prefix and checks the package as
# its users see it: the layout, no internal header or library, headers that
# stand on their own, no build-only flags in the exported targets, the tool,
# the companion command talvex_composite (whose deploy must answer as the tool
# does), both manual pages and its shell completion for bash, zsh and fish, a
# consumer built with find_package whose in-process run gives the same output
# as the tool for every example, the host probe linked the same way, and a
# placement resolved against the host probe in-process as talvex_composite
# --inventory host resolves it.
# Usage: scripts/check-install.sh   (from anywhere; builds in build/install-check)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh build doc || exit 1

build=$root/build/install-check
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { printf 'FAIL %s\n' "$1"; failed=$((failed + 1)); }
check() { # name, command...
  local name=$1
  shift
  if "$@"; then pass; else fail "$name"; fi
}

echo "building and installing into $prefix" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALVEX_BUILD_TESTS=OFF \
  -DTALVEX_SANITIZE=OFF -DTALVEX_BUILD_FUZZERS=OFF -DTALVEX_BUILD_BENCHMARKS=OFF >/dev/null &&
  cmake --build "$build" -j2 >/dev/null &&
  cmake --install "$build" --prefix "$prefix" >/dev/null ||
  { echo "FAIL build and install"; echo "install: 0 passed, 1 failed"; exit 1; }

compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
include=$prefix/include/talvex_composite_deploy
package=$prefix/lib/cmake/talvex_composite_deploy
declare -A completions
manpages=("$prefix/share/man/man1/talvex_composite_deploy.1"
  "$prefix/share/man/man1/talvex_composite.1")

layout_complete() {
  local file missing=0
  for file in bin/talvex_composite_deploy bin/talvex_composite \
    lib/libcore_orchestration.a lib/libcore_placement.a lib/libcore_estimation.a \
    lib/libcore_deployment.a lib/libcore_host.a lib/libcore_app.a lib/libcore_system_file.a \
    lib/libcore_files.a \
    include/talvex_composite_deploy/app/pipeline.h \
    include/talvex_composite_deploy/host/probe.h \
    include/talvex_composite_deploy/system_file/system_file.h \
    include/talvex_composite_deploy/placement/parser.h \
    include/talvex_composite_deploy/common/stable_hash.h \
    lib/cmake/talvex_composite_deploy/talvex_composite_deployConfig.cmake \
    lib/cmake/talvex_composite_deploy/talvex_composite_deployConfigVersion.cmake \
    lib/cmake/talvex_composite_deploy/talvex_composite_deployTargets.cmake \
    share/man/man1/talvex_composite_deploy.1 share/man/man1/talvex_composite.1 \
    share/bash-completion/completions/talvex_composite \
    share/zsh/site-functions/_talvex_composite \
    share/fish/vendor_completions.d/talvex_composite.fish; do
    [[ -e $prefix/$file ]] || { echo "  missing: $file"; missing=1; }
  done
  return $missing
}
check "installed layout" layout_complete

no_internal_headers() {
  local header found=0
  for header in placement/placement_parser.h placement/keywords.h orchestration/cycle_check.h \
    deployment/binding.h deployment/workload_index.h estimation/checked_terms.h \
    common/canonical_text.h app/driver.h \
    host/memory.h host/topology.h host/cuda_devices.h host/visible_devices.h \
    system_file/model_config.h system_file/toml_chunks.h \
    companion/companion.h companion/session.h companion/explanation.h companion/render.h; do
    [[ ! -e $include/$header ]] || { echo "  installed: $header"; found=1; }
  done
  return $found
}
check "no internal header installed" no_internal_headers

# The companion's library lives inside its command (a static build) and is
# never a target of the package.
companion_library_internal() {
  local found=0 library
  for library in "$prefix"/lib/libcore_companion*; do
    [[ ! -e $library ]] || { echo "  installed: ${library#"$prefix"/}"; found=1; }
  done
  ! grep -rq core_companion "$package" || { echo "  core_companion in the package"; found=1; }
  return $found
}
check "companion library not installed" companion_library_internal

# Each header compiled alone against the installed folder only: a public
# header that includes an internal one, or forgets an include, fails here.
headers_stand_alone() {
  (cd "$include" && find . -name '*.h' | sed 's|^\./||' | sort) |
    xargs -P 2 -I{} sh -c 'printf "#include \"%s\"\n" "$1" |
      "$3" -std=c++20 -fsyntax-only -I"$2" -x c++ - || { echo "  not self-contained: $1"; exit 1; }' \
      _ {} "$include" "$compiler"
}
check "installed headers stand alone" headers_stand_alone

no_build_flags_exported() {
  ! grep -rE 'Werror|talvex_warnings' "$package" && ! grep -rF "$root" "$package"
}
check "exported targets carry no build-only flags or paths" no_build_flags_exported

check "installed tool prints the demo report" \
  diff <("$prefix/bin/talvex_composite_deploy" examples/demo.cplace) examples/demo.stdout

for manpage in "${manpages[@]}"; do
  check "manual page ${manpage##*/} renders without warnings (groff)" \
    bash -c '[[ -z $(LC_ALL=C.UTF-8 groff -man -ww -z "$1" 2>&1) ]]' _ "$manpage"
  check "manual page ${manpage##*/} renders without warnings (man)" \
    bash -c '[[ -z $(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null) ]]' _ "$manpage"
done

# The completion scripts are what the installed command writes, each shell
# reads its own without a syntax error (where that shell is installed), and
# bash, sourcing its script, completes talvex_composite with it.
completions=([bash]=share/bash-completion/completions/talvex_composite
  [zsh]=share/zsh/site-functions/_talvex_composite
  [fish]=share/fish/vendor_completions.d/talvex_composite.fish)
for shell in bash zsh fish; do
  check "installed $shell completion is the command's own" \
    cmp -s "$prefix/${completions[$shell]}" <("$prefix/bin/talvex_composite" completion "$shell")
  if command -v "$shell" >/dev/null; then
    check "installed $shell completion reads without error" \
      "$shell" -n "$prefix/${completions[$shell]}"
  else
    echo "$shell is not installed: its completion not read" >&2
  fi
done
check "bash completes talvex_composite with the installed script" \
  bash --norc --noprofile -c \
  'source "$1" && [[ $(complete -p talvex_composite) == *"-F _talvex_composite"* ]]' \
  _ "$prefix/${completions[bash]}"

# talvex_composite deploy is the tool, byte for byte: standard output,
# standard error and status, on every placement file of the tree and on a
# file that does not exist.
companion_deploy_matches_tool() {
  local input tool_status companion_status ok=0
  for input in examples/*.cplace tests/app/cases/*.cplace examples/no-such-file.cplace; do
    "$prefix/bin/talvex_composite_deploy" "$input" >"$work/tool.out" 2>"$work/tool.err"
    tool_status=$?
    "$prefix/bin/talvex_composite" deploy "$input" >"$work/companion.out" 2>"$work/companion.err"
    companion_status=$?
    if [[ $tool_status -ne $companion_status ]] || ! cmp -s "$work/tool.out" "$work/companion.out" ||
      ! cmp -s "$work/tool.err" "$work/companion.err"; then
      echo "  differs: $input (tool $tool_status, companion $companion_status)"
      ok=1
    fi
  done
  return $ok
}
check "installed talvex_composite deploy answers as the tool on every example" \
  companion_deploy_matches_tool

companion_version_is_the_package_version() {
  local version
  version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' \
    "$package/talvex_composite_deployConfigVersion.cmake")
  [[ -n $version && $("$prefix/bin/talvex_composite" --version) == "talvex_composite $version" ]]
}
check "installed talvex_composite --version gives the package version" \
  companion_version_is_the_package_version

consumer=$work/consumer
build_consumer() {
  cmake -S tests/install/consumer -B "$consumer" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null &&
    cmake --build "$consumer" >/dev/null
}
check "consumer builds against the package" build_consumer
check "consumer gets no -Werror from the package" \
  bash -c '! grep -q -- -Werror "$1/compile_commands.json"' _ "$consumer"

# The embedded pipeline answers as the tool does: report or error line alike.
consumer_matches_examples() {
  local input expected out err status ok=0
  for input in examples/*.cplace; do
    out=$("$consumer/consumer" "$input" 2>"$work/stderr")
    status=$?
    err=$(cat "$work/stderr")
    if [[ -e ${input%.cplace}.stdout ]]; then
      expected=$(cat "${input%.cplace}.stdout")
      [[ $status -eq 0 && $out == "$expected" && -z $err ]] || { echo "  differs: $input"; ok=1; }
    else
      expected=$(cat "${input%.cplace}.stderr")
      [[ $status -eq 1 && -z $out && $err == "$expected" ]] || { echo "  differs: $input"; ok=1; }
    fi
  done
  return $ok
}
check "consumer output equals the tool's for every example" consumer_matches_examples
check "consumer prints the demo report" \
  diff <("$consumer/consumer" examples/demo.cplace) examples/demo.stdout

# Linked through the package alone, the probe runs and lists at least the host.
host_probe_lists_the_host() {
  local text
  text=$("$consumer/host_probe" 2>/dev/null) || return 1
  [[ $(head -n 1 <<<"$text") == TALVEX-RESOURCE-INVENTORY/1 && $text == *'cpu|8:host-cpu|'* ]]
}
check "host probe built against the package lists the host" host_probe_lists_the_host

# Embedded against the host probe (the README's example), a plan resolves as
# talvex_composite deploy --inventory host resolves it. Usable and headroom
# figures follow the memory available at each probe, so they are left out.
host_resolve_matches_companion() {
  local input ok=0 resolve_status companion_status
  printf '%s\n' 'placement host for system composite-three-engine {' '  format: 1;' \
    '  policy: first_fit;' '  device cpu0 { kind: cpu; }' '}' >"$work/host.cplace"
  for input in "$work/host.cplace" examples/*.cplace; do
    "$consumer/host_resolve" "$input" >"$work/resolve.out" 2>"$work/resolve.err"
    resolve_status=$?
    "$prefix/bin/talvex_composite" deploy --inventory host "$input" >"$work/companion.out" \
      2>"$work/companion.err"
    companion_status=$?
    grep -v '^talvex_composite: note: ' "$work/companion.err" >"$work/companion.lines"
    if [[ $resolve_status -ne $companion_status ]] ||
      ! cmp -s <(without_free_memory <"$work/resolve.out") \
        <(without_free_memory <"$work/companion.out") ||
      ! cmp -s <(without_free_memory <"$work/resolve.err") \
        <(without_free_memory <"$work/companion.lines"); then
      echo "  differs: $input (embedded $resolve_status, companion $companion_status)"
      ok=1
    fi
  done
  return $ok
}
without_free_memory() { sed -E 's/(usable|headroom)([= ])[0-9]+/\1\2N/g'; }
check "embedded host resolution answers as talvex_composite --inventory host" \
  host_resolve_matches_companion

# A system file loaded through the package: its hash, and the placements of
# the real-size example resolved against it as talvex_composite resolves them.
system_resolve_matches_companion() {
  local input ok=0 expected
  expected="system_hash=10080049706816702516"
  [[ $("$consumer/system_resolve" examples/composite-three-engine.toml examples/demo.cplace) == \
    "$expected"$'\n'"$(cat examples/demo.stdout)" ]] || { echo "  differs: the built-in system"; ok=1; }
  for input in examples/assistant/*.cplace; do
    "$consumer/system_resolve" examples/assistant/assistant.toml "$input" >"$work/system.out" \
      2>"$work/system.err"
    "$prefix/bin/talvex_composite" deploy --system examples/assistant/assistant.toml "$input" \
      >"$work/companion.out" 2>"$work/companion.err"
    if ! cmp -s <(tail -n +2 "$work/system.out") "$work/companion.out" ||
      ! cmp -s "$work/system.err" "$work/companion.err"; then
      echo "  differs: $input"
      ok=1
    fi
  done
  return $ok
}
check "a system file loaded through the package resolves as talvex_composite does" \
  system_resolve_matches_companion

echo "install: ${passed} passed, ${failed} failed"
[[ $failed -eq 0 ]]
