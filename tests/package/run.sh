#!/usr/bin/env bash
# Checks the installed C package: configures and builds the project, installs
# it with `cmake --install --prefix` into a scratch prefix, then builds and runs
# the C example against that prefix with find_package (shared and static
# library) and with pkg-config (run without LD_LIBRARY_PATH), and once more
# with pkg-config after the prefix has been moved.
#
# Usage: run.sh --source DIR --scratch DIR [--cmake PATH] [--generator NAME]
#               [--c-compiler PATH] [--cxx-compiler PATH] [--werror ON|OFF]
# Exits 77 (skipped) when pkg-config is missing and cannot be installed.
set -euo pipefail

source_dir="" scratch="" cmake=cmake generator="" c_compiler="" cxx_compiler="" werror=OFF
while [ $# -gt 0 ]; do
    case $1 in
    --source) source_dir=$2 ;;
    --scratch) scratch=$2 ;;
    --cmake) cmake=$2 ;;
    --generator) generator=$2 ;;
    --c-compiler) c_compiler=$2 ;;
    --cxx-compiler) cxx_compiler=$2 ;;
    --werror) werror=$2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
    shift 2
done
[ -n "$source_dir" ] && [ -n "$scratch" ] || { echo "usage: $0 --source DIR --scratch DIR ..." >&2; exit 2; }
jobs=${RUX_JOBS:-2}
cc=${c_compiler:-cc}

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

ensure_pkg_config() {
    command -v pkg-config >/dev/null && return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        step "installing pkg-config"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pkg-config >/dev/null
    fi
    command -v pkg-config >/dev/null || { echo "SKIP: pkg-config is not available"; exit 77; }
}

configure_options=(-DCMAKE_BUILD_TYPE=Release)
[ -n "$generator" ] && configure_options+=(-G "$generator")
[ -n "$c_compiler" ] && configure_options+=(-DCMAKE_C_COMPILER="$c_compiler")
[ -n "$cxx_compiler" ] && configure_options+=(-DCMAKE_CXX_COMPILER="$cxx_compiler")

rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix
example_source=$source_dir/examples/c

step "building the project and installing it into $prefix"
# The default prefix at configure time: the package must work wherever
# `cmake --install --prefix` puts it.
"$cmake" -S "$source_dir" -B "$scratch/build" "${configure_options[@]}" -DRUX_WERROR="$werror" >/dev/null
"$cmake" --build "$scratch/build" -j "$jobs" >/dev/null
"$cmake" --install "$scratch/build" --prefix "$prefix" >/dev/null

pc_file=$(find "$prefix" -name rux.pc -path '*/pkgconfig/*')
[ -n "$pc_file" ] || fail "no rux.pc under $prefix"
libdir=$(dirname "$(dirname "$pc_file")")
for file in "$prefix/include/rux/rux.h" "$libdir/librux.a" "$libdir/librux.so" \
    "$libdir/cmake/rux/ruxConfig.cmake" "$libdir/cmake/rux/ruxConfigVersion.cmake"; do
    [ -e "$file" ] || fail "not installed: $file"
done

step "the shared library exports exactly the functions and constants that rux.h declares"
header=$prefix/include/rux/rux.h
declared=$( (sed -n 's/^[A-Za-z][^(;]*[ *]\(rux_[a-z_]*\) *(.*/\1/p' "$header"
    sed -n 's/^extern .*[ *]\(RUX_[A-Z_]*\);$/\1/p' "$header") | sort)
exported=$(nm -D --defined-only "$libdir/librux.so" | awk '{print $3}' | sort)
[ "$(echo "$declared" | wc -l)" -ge 10 ] || fail "could not read the declarations of $header"
[ "$declared" = "$exported" ] ||
    fail "exported symbols differ from rux.h:$(diff <(echo "$declared") <(echo "$exported") || true)"

step "the Runtime component holds only the shared library"
"$cmake" --install "$scratch/build" --prefix "$scratch/runtime" --component Runtime >/dev/null
runtime_files=$(cd "$scratch/runtime" && find . -not -type d | sort | tr '\n' ' ')
case $runtime_files in
*librux.so.*) ;;
*) fail "Runtime component lacks the shared library: $runtime_files" ;;
esac
case $runtime_files in
*.h* | *.a* | *.pc* | *.cmake* | *"librux.so "*) fail "Runtime component holds development files: $runtime_files" ;;
esac

run_example() {  # run_example PROGRAM LABEL [ENV...]
    local program=$1 label=$2 output
    shift 2
    rm -f "$scratch/$label.rux"
    output=$(env "$@" "$program" "$scratch/$label.rux") || fail "$label: the example failed: $output"
    case $output in
    *"wrote and read back 5 frames"*) ;;
    *) fail "$label: unexpected output: $output" ;;
    esac
    [ -s "$scratch/$label.rux" ] || fail "$label: no file written"
}

for variant in shared static; do
    step "find_package(rux): the example against rux::$( [ $variant = shared ] && echo filelayer || echo filelayer_static)"
    static=$( [ $variant = static ] && echo ON || echo OFF)
    "$cmake" -S "$example_source" -B "$scratch/example-$variant" "${configure_options[@]}" \
        -DCMAKE_PREFIX_PATH="$prefix" -DRUX_EXAMPLE_STATIC=$static -DCMAKE_C_FLAGS=-Werror >/dev/null
    "$cmake" --build "$scratch/example-$variant" >/dev/null
    program=$scratch/example-$variant/write_read_frames
    needs_librux=$(readelf -d "$program" | grep -c 'NEEDED.*librux' || true)
    if [ $variant = shared ]; then
        [ "$needs_librux" = 1 ] || fail "the shared example does not load librux.so"
    else
        [ "$needs_librux" = 0 ] || fail "the static example loads librux.so"
    fi
    run_example "$program" "cmake-$variant"
done

ensure_pkg_config
build_with_pkg_config() {  # build_with_pkg_config PREFIX LABEL
    local pc_path=$1/${libdir#"$prefix/"}/pkgconfig label=$2
    export PKG_CONFIG_PATH=$pc_path
    [ "$(pkg-config --modversion rux)" = "$(sed -n 's/^project(rux VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")" ] ||
        fail "$label: pkg-config gives version $(pkg-config --modversion rux)"
    # shellcheck disable=SC2046  # the flags are meant to split
    "$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror "$example_source/write_read_frames.c" \
        $(pkg-config --cflags --libs rux) -o "$scratch/$label"
    # rux.pc's Libs carry the rpath: the program starts without LD_LIBRARY_PATH.
    run_example "$scratch/$label" "$label" -u LD_LIBRARY_PATH
}
step "pkg-config: cc write_read_frames.c \$(pkg-config --cflags --libs rux)"
build_with_pkg_config "$prefix" pkg-config
step "pkg-config after moving the prefix"
mv "$prefix" "$scratch/moved"
build_with_pkg_config "$scratch/moved" pkg-config-moved

echo "the installed C package works"
