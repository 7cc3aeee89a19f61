#!/usr/bin/env bash
# Writes the Kubernetes manifests of the example plans with
# `talvex_composite deploy --format kubernetes` and validates every object in
# them against the Kubernetes API's schema with kubernetes-models (npm, 5.x)
# on Node.js. Usage: scripts/validate-manifests.sh [TALVEX_COMPOSITE]
# (default: the test build's build/test/talvex_composite).
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${1:-build/test/talvex_composite}
validator=build/k8s-validator
out=build/manifests

# The machine image may bring its own Node.js with npm; Debian's otherwise.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  scripts/install-deps.sh node
fi
if [[ ! -d $validator/node_modules/kubernetes-models ]]; then
  mkdir -p "$validator"
  npm install --silent --no-audit --no-fund --prefix "$validator" kubernetes-models@5 >/dev/null 2>&1
fi
cp scripts/validate-manifests.mjs "$validator/"

rm -rf "$out"
mkdir -p "$out"
manifests=()
write() { # name, deploy arguments...
  local name=$1
  shift
  "$tool" deploy --format kubernetes "$@" >"$out/$name.json"
  manifests+=("$PWD/$out/$name.json")
}
for plan in examples/*.cplace; do
  [[ -e ${plan%.cplace}.stdout ]] || continue # only the plans that resolve
  write "$(basename "$plan" .cplace)" "$plan"
done
for plan in examples/assistant/*.cplace; do
  [[ -e ${plan%.cplace}.stdout ]] || continue
  write "assistant-$(basename "$plan" .cplace)" --system examples/assistant/assistant.toml "$plan"
done
write demo-on-server --inventory examples/inventories/server-8gpu.json examples/demo.cplace
node "$validator/validate-manifests.mjs" "${manifests[@]}"
echo "manifests: ${#manifests[@]} valid"
