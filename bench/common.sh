# Sourced by the bench/*/run.sh scripts: the build folder, and building and
# finding their programs, so that each script also runs on its own.
#   bench_build TARGET...     builds the targets in $build (configured if new)
#   bench_program NAME        prints the path of the built program NAME
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BENCH_BUILD:-$root/build-bench}"

bench_build() {
    # scripts/bench configures the folder; a script run on its own does it here.
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKAVO_BUILD_TESTS=OFF -DKAVO_BUILD_BENCH=ON >/dev/null
    fi
    cmake --build "$build" -j2 --target "$@" >/dev/null
}

bench_program() {
    local path
    path="$(find "$build" -type f -name "$1" -perm -u+x -print -quit)"
    [ -n "$path" ] || { echo "$1 was not built" >&2; return 1; }
    printf '%s\n' "$path"
}
