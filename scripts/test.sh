#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the C and C++
# tests in a normal and a sanitizer build, then pytest against the installed
# package (with numpy 2, then once more with numpy 1.26).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${RUX_JOBS:-2}

install_system_packages() {
    local missing=()
    [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    command -v clang++ >/dev/null || missing+=(clang)
    ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
        missing+=(libclang-rt-14-dev)
    command -v c++ >/dev/null || missing+=(g++)
    command -v pkg-config >/dev/null || missing+=(pkg-config)
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    fi
}

make_venv() {  # make_venv DIR PACKAGE...
    local dir=$1
    shift
    [ -x "$dir/bin/python" ] || python3 -m venv "$dir"
    "$dir/bin/pip" install -q --upgrade pip
    "$dir/bin/pip" install -q "$@"
}

run_cpp_tests() {  # run_cpp_tests BUILD_DIR CMAKE_OPTION...
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRUX_BUILD_TESTS=ON \
        -DRUX_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_pytest() {  # run_pytest VENV; run from tests/ so the source tree's rux/ is not imported
    (cd tests && "$1/bin/python" -m pytest -q -p no:cacheprovider python)
}

install_system_packages
make_venv .venv numpy pytest hypothesis cmake ninja scikit-build-core h5py psutil "dask[distributed]" mypy
export PATH="$root/.venv/bin:$PATH"
# The MD tools (the extras' packages, and MDAnalysisTests' data) install while the
# C and C++ tests build and run; pytest waits for them.
md_log=build/md-tools.log
mkdir -p build
.venv/bin/pip install -q MDAnalysis MDAnalysisTests mdtraj openmm ase >"$md_log" 2>&1 &
md_tools=$!

echo "== C and C++ tests"
run_cpp_tests build/tests
echo "== reliability counts"
for test in fault_injection_test crash_states_test; do
    build/tests/tests/$test | grep '\[ counts' || true
done
echo "== C and C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_cpp_tests build/tests-asan -DRUX_SANITIZE=ON

echo "== replaying the fuzzing corpus under the sanitizers"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DRUX_FUZZ=ON -DRUX_SANITIZE=ON -DRUX_WERROR=ON >/dev/null
cmake --build build/fuzz -j "$jobs"
ctest --test-dir build/fuzz --output-on-failure

echo "== waiting for the MD tools"
wait "$md_tools" || { cat "$md_log"; exit 1; }

echo "== building the wheel"
rm -rf build/wheelhouse
.venv/bin/pip wheel -q --no-deps -w build/wheelhouse .
.venv/bin/pip install -q --force-reinstall --no-deps build/wheelhouse/rux-*.whl

echo "== pytest, numpy $(.venv/bin/python -c 'import numpy; print(numpy.__version__)')"
run_pytest "$root/.venv"

make_venv .venv-numpy1 "numpy==1.26.4" pytest hypothesis
.venv-numpy1/bin/pip install -q --force-reinstall --no-deps build/wheelhouse/rux-*.whl
echo "== pytest, numpy $(.venv-numpy1/bin/python -c 'import numpy; print(numpy.__version__)')"
run_pytest "$root/.venv-numpy1"
