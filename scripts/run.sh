#!/usr/bin/env bash
# Installs what the programs need, builds them (no tests) in ./build and
# starts the interactive mode there (beside gimp.plasma.bmp); without a
# display, the benchmark.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

tesk_install build-essential cmake pkg-config libsdl1.2-dev
tesk_build build -DCMAKE_BUILD_TYPE=Release -DTESK_BUILD_TESTS=OFF

cd "$TESK_ROOT/build"
if [ -z "${DISPLAY:-}" ]; then
    echo "No display (DISPLAY is not set): running the windowless benchmark instead." >&2
    exec ./tesk -benchmark-no-vid
fi
exec ./tesk
