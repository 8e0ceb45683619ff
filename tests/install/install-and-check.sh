#!/usr/bin/env bash
# Installs a build tree into a temporary prefix with `cmake --install` and
# checks the installed layout, then removes it.
#   tests/install/install-and-check.sh <build-dir>
set -euo pipefail
build=${1:?usage: install-and-check.sh <build-dir>}
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
"$here/check-install.sh" "$prefix"
