#!/usr/bin/env bash
# A fuzzing campaign on the file reader: builds the libFuzzer harness with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer, seeds a work corpus
# with valid files of both layouts plus the committed corpus, and fuzzes for
# the given number of seconds (default 3600). New findings are written as
# crash-* files in the work directory; `-merge=1` into tests/fuzz/corpus keeps
# the committed corpus small.
#
#   bash scripts/fuzz.sh [SECONDS] [WORK_DIRECTORY]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-3600}
work=${2:-$root/build/fuzz-work}
command -v clang++ >/dev/null || {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev
}
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build/fuzz" -G Ninja -DRUX_FUZZ=ON \
    -DRUX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/fuzz" -j 2
mkdir -p "$work/corpus" "$work/seeds"
"$root/build/fuzz/tests/fuzz/make_fuzz_seeds" "$work/seeds"
cd "$work"
"$root/build/fuzz/tests/fuzz/file_reader_fuzzer" -max_total_time="$seconds" -max_len=8192 \
    -print_final_stats=1 corpus seeds "$root/tests/fuzz/corpus"
