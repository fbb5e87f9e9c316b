#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# a Release build in ./build and a sanitizer build in ./build-asan.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

tesk_install build-essential cmake pkg-config libsdl1.2-dev libgtest-dev xvfb xdotool gdb libembree-dev

# run_suite DIR CMAKE-OPTION...: build in DIR and run every test there.
run_suite() {
    local dir="$1"
    echo "=== $dir: build and test" >&2
    tesk_build "$@" || return 1
    (cd "$TESK_ROOT/$dir" && ctest --output-on-failure -j "$TESK_JOBS")
}

failed=()
run_suite build -DCMAKE_BUILD_TYPE=Release -DTESK_BUILD_TESTS=ON || failed+=(build)
run_suite build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESK_SANITIZE=ON -DTESK_BUILD_TESTS=ON ||
    failed+=(build-asan)

if [ "${#failed[@]}" -ne 0 ]; then
    echo "=== FAILED in: ${failed[*]}" >&2
    exit 1
fi
echo "=== all tests passed (Release and sanitizer builds)" >&2
