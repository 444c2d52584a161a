# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by the benchmark scripts (sourced, with $root set to the project's root).

# Ends the script with a message when one of the tools is missing.
need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "$(basename "$0"): $tool is needed" >&2; exit 1; }
    done
}

# Builds sonbar-cli in the tree $1, configured as a Release build without sanitizers (and
# without the windows) when it does not exist yet; prints the program's path.
release_cli() {
    if [ ! -f "$1/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$1" -DCMAKE_BUILD_TYPE=Release -DSONBAR_SANITIZE=OFF \
            -DSONBAR_TESTS=OFF -DSONBAR_GUI=OFF >/dev/null || return 1
    fi
    cmake --build "$1" -j2 --target sonbar-cli >/dev/null || return 1
    echo "$1/src/cli/sonbar-cli"
}

# Sets $work to a new folder under WORK_DIR (default /tmp), named after $1, removed when the
# script exits. The files measured go there: put WORK_DIR on the disk to measure.
make_work_dir() {
    work=$(mktemp -d "${WORK_DIR:-/tmp}/sonbar-$1.XXXXXX")
    trap 'rm -rf "$work"' EXIT
}
