#!/usr/bin/env bash
# Installs what the tests need and runs the whole test suite:
# the Python tests against the installed module, then the C++ tests of the
# core three times (plain, ThreadSanitizer, AddressSanitizer + UBSan).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# GoogleTest for the C++ tests comes from the system's packages.
if [ ! -f /usr/include/gtest/gtest.h ]; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
fi

python3 -m pip install -q --upgrade ".[test]"

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
jobs=$(nproc)

for sanitize in thread address ""; do
  dir="build/cpp-${sanitize:-plain}"
  cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DMOXTILE_BUILD_MODULE=OFF -DMOXTILE_BUILD_TESTS=ON -DMOXTILE_SANITIZE="$sanitize" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== C++ tests (${sanitize:-no sanitizer})"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir "$dir" --output-on-failure -j"$jobs"
done

echo "== Python tests"
# Run from outside the source tree so the installed module is the one imported.
cd tests && python3 -m pytest -q -p no:cacheprovider .
