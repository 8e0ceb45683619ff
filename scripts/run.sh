#!/usr/bin/env bash
# Installs what is missing, builds the locator and starts its window.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec ./build/release/ui/hvl "$@"
