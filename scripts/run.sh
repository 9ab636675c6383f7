#!/usr/bin/env bash
# Builds the project and opens the Vantrel pane: in a window when a display is
# available, otherwise in the terminal.
#   scripts/run.sh                 interactive
#   scripts/run.sh --list          any vantrel-prefs arguments
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" run  # what building and running need, not the test tools
build=${VANTREL_BUILD_DIR:-$root/build}
gen=()
command -v ninja >/dev/null && [ ! -f "$build/CMakeCache.txt" ] && gen=(-G Ninja)
cmake -S "$root" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target vantrel-prefs >/dev/null
exec "$build/tools/vantrel-prefs/vantrel-prefs" "$@"
