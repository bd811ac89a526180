#!/usr/bin/env bash
# Builds everything and runs every test: the C++ tests (GoogleTest) and the Python tests (pytest).
# Installs what a fresh Debian machine lacks (GoogleTest, libyaml, zlib headers, Python test deps).
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in libgtest-dev libyaml-dev zlib1g-dev cmake g++; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
  else
    sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
  fi
fi

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore pytest numpy PyYAML mypy awkward
# The optional extras "arrow" and "dask", whose tests are skipped where these cannot be imported.
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore pyarrow pandas "dask[dataframe]" \
  distributed tqdm

# C++ tests
gen=(); command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
cmake -S . -B build-tests "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRIMOACQ_BUILD_TESTS=ON -DBRIMOACQ_BUILD_MODULE=OFF -DBRIMOACQ_WERROR=ON >/dev/null
cmake --build build-tests -j"$(nproc)"
./build-tests/brimoacq_tests --gtest_brief=1

# Python module and tests
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore . 
python3 -m pytest -q tests/python
