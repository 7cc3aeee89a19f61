#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and nothing when
# all of them are already present. Usage: scripts/install-deps.sh [group...]
# Groups: build (default), test, fuzz, bench, analysis, doc, node.
set -euo pipefail

# The host probe (src/host) finds hwloc through pkg-config, the companion
# command (src/companion) uses CLI11 and nlohmann/json, and the system file
# reader (src/system_file) toml++ and nlohmann/json, in every build. The tests
# run the companion's completion scripts in zsh and fish as well as bash.
declare -A groups=(
  [build]="cmake g++ make pkg-config libhwloc-dev libcli11-dev nlohmann-json3-dev libtomlplusplus-dev"
  [test]="cmake g++ make pkg-config libhwloc-dev libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libgtest-dev libgmock-dev zsh fish"
  [fuzz]="clang-14 libclang-rt-14-dev"
  [bench]="libbenchmark-dev time valgrind python3"
  [analysis]="clang-tidy cppcheck"
  [doc]="groff-base man-db"
  [node]="nodejs npm"
)

wanted=()
for group in "${@:-build}"; do
  [[ -n "${groups[$group]+x}" ]] || { echo "unknown group: $group" >&2; exit 2; }
  read -r -a packages <<<"${groups[$group]}"
  wanted+=("${packages[@]}")
done

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
echo "installing: ${missing[*]}" >&2
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
