#!/usr/bin/env bash
# Installs what is missing, builds the locator and starts its window. On a
# machine without a display (neither DISPLAY nor WAYLAND_DISPLAY) the window
# cannot open: the headless scanner hvl-scan runs instead, with the arguments
# given here. HVL_PRESET chooses the build (default: release).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${HVL_PRESET:-release}
./scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are unset): running hvl-scan instead of the window." >&2
    # The build's progress goes to stderr, so stdout is hvl-scan's alone.
    cmake --build --preset "$preset" --target hvl-scan >&2
    exec "./build/$preset/cli/hvl-scan" "$@"
fi
# Only the window: the preset's tests are not needed to run it.
cmake --build --preset "$preset" --target hvl
exec "./build/$preset/ui/hvl" "$@"
