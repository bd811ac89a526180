#!/usr/bin/env bash
# Builds everything and runs every test. Stages (each prints a banner and its time):
#   1. build: one build directory with the C++ tests, the corpus replays and the Python module (g++)
#   2. C++ tests (GoogleTest) and the replay of the checked-in fuzz corpus
#   3. Python tests (pytest) against that build
#   4. the same C++ and Python tests against a second build with AddressSanitizer and UBSan
#   5. fuzz targets built with clang and libFuzzer: corpus replay, then FUZZ_SECONDS (20) per target
#   6. PyPy: `pip install .` into a PyPy virtual environment (the packaging check), Python tests there
# Installs what a fresh Debian machine lacks (compilers, libraries, PyPy, Python test dependencies).
# Any failing or missing test fails the run. STAGES="build cpp python asan fuzz pypy" selects stages.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

STAGES=${STAGES:-"build cpp python asan fuzz pypy"}
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
JOBS=${JOBS:-$(nproc)}
# numpy 1.26.4 is the last numpy with wheels for PyPy 7.3 / Python 3.9 (Debian's pypy3).
PYPY_NUMPY=${PYPY_NUMPY:-numpy==1.26.4}

has_stage() { [[ " $STAGES " == *" $1 "* ]]; }
run_started=$SECONDS
stage_started=$SECONDS
stage_name=
banner() {
  [ -n "$stage_name" ] && printf '=== %s: done in %ds\n' "$stage_name" $((SECONDS - stage_started))
  stage_name=$1
  stage_started=$SECONDS
  [ -n "$stage_name" ] && printf '\n=== %s\n' "$stage_name"
  return 0
}

# --- dependencies --------------------------------------------------------------------------------
banner "dependencies"
need=()
pkgs=(libgtest-dev libyaml-dev zlib1g-dev cmake g++ python3-pip)
has_stage fuzz && pkgs+=(clang libclang-rt-dev)
has_stage pypy && pkgs+=(pypy3 pypy3-dev pypy3-venv)
for pkg in "${pkgs[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo=(); [ "$(id -u)" = 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore pytest numpy PyYAML mypy awkward
# The optional extras "arrow" and "dask", whose tests are skipped where these cannot be imported.
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore pyarrow pandas "dask[dataframe]" \
  distributed tqdm

gen=(); command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
launcher=(); command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
configure() {  # build directory, then extra cmake arguments
  local dir=$1; shift
  cmake -S . -B "$dir" "${gen[@]}" "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIMOACQ_WERROR=ON \
    "$@" >/dev/null
}
# pytest exits 5 when it collected nothing: that is a failure here, like any other nonzero status.
run_pytest() { "$@" -m pytest -q tests/python; }
module_dir() { dirname "$(find "$1" -maxdepth 1 -name 'brimoacq*.so' | head -n1)"; }

# --- 1-3: one build for the C++ tests, the corpus replay and the Python tests --------------------
if has_stage build; then
  banner "build (g++, C++ tests + module)"
  configure build-ci -DBRIMOACQ_BUILD_TESTS=ON -DBRIMOACQ_BUILD_MODULE=ON -DPython_EXECUTABLE="$(command -v python3)"
  cmake --build build-ci -j"$JOBS"
fi
if has_stage cpp; then
  banner "C++ tests and fuzz corpus replay"
  ./build-ci/brimoacq_tests --gtest_brief=1
  (cd build-ci && ctest --output-on-failure -R '^fuzz_replay_')
fi
if has_stage python; then
  banner "Python tests (CPython)"
  PYTHONPATH="$root/$(module_dir build-ci):$root/python" run_pytest python3
fi

# --- 4: AddressSanitizer + UndefinedBehaviorSanitizer ---------------------------------------------
if has_stage asan; then
  banner "ASan+UBSan build"
  configure build-asan -DBRIMOACQ_SANITIZE=ON -DBRIMOACQ_BUILD_TESTS=ON -DBRIMOACQ_BUILD_MODULE=ON \
    -DPython_EXECUTABLE="$(command -v python3)"
  cmake --build build-asan -j"$JOBS"
  banner "ASan+UBSan: C++ tests and fuzz corpus replay"
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 ./build-asan/brimoacq_tests --gtest_brief=1
  (cd build-asan && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 ctest --output-on-failure -R '^fuzz_replay_')
  banner "ASan+UBSan: Python tests"
  # The interpreter is not built with ASan: the runtime must be loaded first, and the interpreter's own
  # allocations at exit are not ours to report.
  libasan=$(g++ -print-file-name=libasan.so)
  libubsan=$(g++ -print-file-name=libubsan.so)
  LD_PRELOAD="$libasan:$libubsan" ASAN_OPTIONS=halt_on_error=1:detect_leaks=0 \
    PYTHONPATH="$root/$(module_dir build-asan):$root/python" run_pytest python3
  unset UBSAN_OPTIONS
fi

# --- 5: fuzz targets (clang, libFuzzer) -----------------------------------------------------------
if has_stage fuzz; then
  banner "fuzz targets build (clang)"
  configure build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DBRIMOACQ_BUILD_FUZZ=ON -DBRIMOACQ_BUILD_MODULE=OFF
  cmake --build build-fuzz -j"$JOBS"
  banner "fuzzing: corpus replay and ${FUZZ_SECONDS}s per target"
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
  targets=$(sed -n 's/^set(BRIMOACQ_FUZZ_TARGETS \(.*\))$/\1/p' CMakeLists.txt)
  for t in $targets; do
    work=$(mktemp -d)
    # New inputs go to a scratch directory; the checked-in corpus is only read.
    ./build-fuzz/fuzz_"$t" -max_total_time="$FUZZ_SECONDS" -timeout=60 -rss_limit_mb=2048 -close_fd_mask=1 \
      -artifact_prefix="$work/" -print_final_stats=1 "$work" "fuzz/corpus/$t" 2>"$work/log" || {
      tail -n 60 "$work/log"; echo "fuzz target $t failed; artifacts in $work"; exit 1; }
    grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "$work/log" | tr '\n' ' '; echo "($t)"
    rm -rf "$work"
  done
  unset UBSAN_OPTIONS ASAN_OPTIONS
fi

# --- 6: PyPy ------------------------------------------------------------------------------------
if has_stage pypy; then
  banner "PyPy: pip install . and Python tests"
  venv="$root/build-pypy/venv"
  [ -x "$venv/bin/python" ] || pypy3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=numpy \
    "$PYPY_NUMPY" PyYAML pytest
  # Building the wheel is the packaging check: scikit-build-core configures CMake with this
  # interpreter (PyPy) and installs the module and brimoacq_tools into the environment.
  "$venv/bin/python" -m pip install -q --disable-pip-version-check . 
  # Run from outside the source tree so that the installed module is the one imported.
  (cd build-pypy && "$venv/bin/python" -c "import brimoacq, brimoacq_tools, sys; print(sys.version.split()[0], brimoacq.__file__)")
  run_pytest "$venv/bin/python"
fi

banner ""
printf '=== all stages passed in %ds\n' $((SECONDS - run_started))
