# Shared set-up for run.sh and test.sh (sourced, not run): installs the
# Debian packages that are missing and builds the programs with CMake.

TESK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TESK_JOBS="$(nproc 2>/dev/null || echo 2)"

# tesk_install PACKAGE...: apt-get only what dpkg does not list as installed,
# so repeated runs cost nothing.
tesk_install() {
    if ! command -v dpkg >/dev/null 2>&1; then
        echo "Not a Debian system: make sure these are installed: $*" >&2
        return 0
    fi
    local missing=() p
    for p in "$@"; do
        if ! dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed'; then
            missing+=("$p")
        fi
    done
    [ "${#missing[@]}" -eq 0 ] && return 0

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "Missing packages and no sudo: as root, run" \
                 "apt-get install ${missing[*]}" >&2
            return 1
        fi
        sudo=(sudo)
    fi
    echo "Installing ${missing[*]}" >&2
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q &&
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q "${missing[@]}" </dev/null
}

# tesk_build DIR CMAKE-OPTION...: configure (once) and build in DIR.
tesk_build() {
    local dir="$1"
    shift
    cmake -S "$TESK_ROOT" -B "$TESK_ROOT/$dir" "$@" &&
        cmake --build "$TESK_ROOT/$dir" -j "$TESK_JOBS"
}
