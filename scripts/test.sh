#!/usr/bin/env bash
# Installs what is missing, builds the locator and runs every test: unit
# tests, the window's tests on Qt's offscreen platform, and the integration
# tests in the virtual network (these need root; without it they report
# themselves skipped).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default "$@"
