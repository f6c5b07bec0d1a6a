#!/usr/bin/env bash
# Installs what the tests need and runs the whole test suite: the Python tests
# against the module installed in a virtual environment, then a check that
# src/ and tests/cpp/ are formatted (.clang-format), the C++ tests of the core
# three times (plain, ThreadSanitizer, AddressSanitizer + UBSan), and
# clang-tidy over the sources (.clang-tidy; any finding fails). clang-format
# and clang-tidy are the versions pinned in the test extra.
# Every part runs even when an earlier one failed; the exit status says
# whether all of them passed.
#
# Any user can run it. As root it installs missing system packages with
# apt-get, runs the tests that create accounts (test_* accounts, which stay),
# and then runs the Python part again as the unprivileged user nobody, to show
# that the tests needing root skip there instead of failing. Without root it
# says what is missing and runs what it can.
#
#   scripts/test.sh                          everything, with python3
#   scripts/test.sh --python-only [--python PYTHON]
#                                            the Python part alone, with PYTHON
#
# Virtual environments and build trees go to build-test/ in the checkout, or to
# $MOXTILE_TEST_DIR.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=python3
python_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --python) python=$2; shift 2 ;;
    --python-only) python_only=1; shift ;;
    *) echo "usage: $0 [--python-only] [--python PYTHON]" >&2; exit 2 ;;
  esac
done
work=${MOXTILE_TEST_DIR:-$root/build-test}
mkdir -p "$work" || exit 1
jobs=$(nproc 2>/dev/null || echo 2)
failed=()
not_run=()
venv=
tmp=
trap 'if [ -n "$tmp" ]; then rm -rf "$tmp"; fi' EXIT

is_root() { [ "$(id -u)" -eq 0 ]; }
fail() { failed+=("$1"); echo "!! $1: FAILED"; }
section() { echo "== [$(date +%T)] $*"; }

# Installs Debian packages; only as root, and never through sudo.
apt_install() {
  is_root && command -v apt-get >/dev/null 2>&1 || return 1
  section "installing $*"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# Whether interpreter $1 can make a virtual environment and build the module.
# Debian and Ubuntu ship venv and the C headers apart from python3; as root
# they are installed when missing.
python_ready() {
  local check='import ensurepip, os, sys, sysconfig
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'
  "$1" -c "$check" 2>/dev/null ||
    { apt_install python3-venv python3-dev && "$1" -c "$check"; }
}

# The Python tests with interpreter $1, in a virtual environment of its own.
# Leaves the environment's directory in $venv.
python_tests() {
  local version
  version=$("$1" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])') || {
    fail "Python tests: cannot run $1"; return; }
  venv=$work/venv-py$version
  section "Python $version tests (virtual environment $venv)"
  if [ ! -x "$venv/bin/python" ] && ! { python_ready "$1" && "$1" -m venv "$venv"; }; then
    fail "Python $version tests: $1 has no venv module or no C headers (Debian/Ubuntu: python3-venv python3-dev)"
    return
  fi
  if ! "$venv/bin/python" -m pip install -q "$root[test]"; then
    fail "Python $version tests: building and installing the module"
    return
  fi
  # Run from tests/ so that the installed module is the one imported. Each run
  # gets a pytest temporary root of its own: runs of one user at the same time
  # never remove each other's directories.
  local basetemp
  basetemp=$(mktemp -d "${TMPDIR:-/tmp}/moxtile-pytest.XXXXXX") || {
    fail "Python $version tests: no temporary directory"; return; }
  (cd "$root/tests" && PYTHONDONTWRITEBYTECODE=1 HYPOTHESIS_STORAGE_DIRECTORY="$work/hypothesis" \
     "$venv/bin/python" -m pytest -q -p no:cacheprovider --basetemp "$basetemp" .) ||
    fail "Python $version tests"
  rm -rf "$basetemp"
}

# The Python part once more as nobody (run as root): from a fresh virtual
# environment of the system's own python3, built from the checkout, which
# nobody cannot write to. It must pass, and the account tests must skip.
unprivileged_python_tests() {
  local as_nobody=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups
                   env -u PYTHONPATH -u VIRTUAL_ENV PATH=/usr/local/bin:/usr/bin:/bin)
  local interpreter=/usr/bin/python3 log status
  if ! command -v setpriv >/dev/null 2>&1 || ! id nobody >/dev/null 2>&1; then
    not_run+=("Python tests as nobody (needs setpriv and the user nobody)"); return
  fi
  if ! "${as_nobody[@]}" test -r "$root/tests/test_module.py"; then
    not_run+=("Python tests as nobody (nobody cannot read $root)"); return
  fi
  if [ ! -x "$interpreter" ] || ! python_ready "$interpreter"; then
    not_run+=("Python tests as nobody (needs $interpreter with venv and its C headers)"); return
  fi
  tmp=$(mktemp -d -p /tmp moxtile-nobody.XXXXXX) || { fail "Python tests as nobody: no temporary directory"; return; }
  chown nobody "$tmp"
  log=$tmp/log
  section "Python tests as nobody"
  "${as_nobody[@]}" HOME="$tmp" TMPDIR="$tmp" MOXTILE_TEST_DIR="$tmp/work" \
    bash "$root/scripts/test.sh" --python-only --python "$interpreter" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  if [ "$status" -ne 0 ]; then
    fail "Python tests as nobody"
  elif ! grep -q "^SKIPPED .*needs root" "$log"; then
    fail "Python tests as nobody: no test skipped for want of root"
  fi
  rm -rf "$tmp"
  tmp=
}

cpp_tests() {
  if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ] &&
     ! apt_install libgtest-dev; then
    not_run+=("C++ tests: GoogleTest is missing (as root: apt-get install libgtest-dev)")
    return
  fi
  local path=$PATH
  if ! command -v cmake >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1; then
    # The same tools the Python build gets from pip.
    if [ -z "$venv" ] || ! "$venv/bin/python" -m pip install -q cmake ninja; then
      fail "C++ tests: no cmake and ninja"; return
    fi
    path=$venv/bin:$PATH
  fi
  local sanitize dir label
  for sanitize in "" thread address; do
    label="C++ tests (${sanitize:-no} sanitizer)"
    dir=$work/cpp-${sanitize:-plain}
    section "$label"
    if ! PATH=$path cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
           -DMOXTILE_BUILD_MODULE=OFF -DMOXTILE_BUILD_TESTS=ON -DMOXTILE_SANITIZE="$sanitize" >/dev/null ||
       ! PATH=$path cmake --build "$dir" -j"$jobs"; then
      fail "$label: build"
      continue
    fi
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
      PATH=$path ctest --test-dir "$dir" --output-on-failure -j"$jobs" || fail "$label"
  done
}

# clang-format, the version pinned in the test extra: any file of src/ or
# tests/cpp/ that it would change fails the run.
format_check() {
  local format=$venv/bin/clang-format pin files
  section "clang-format (src/, tests/cpp/)"
  if [ -n "$venv" ] && [ ! -x "$format" ]; then
    pin=$(grep -o '"clang-format==[0-9.]*' "$root/pyproject.toml" | tr -d '"')
    [ -n "$pin" ] && "$venv/bin/python" -m pip install -q --only-binary=:all: "$pin" >/dev/null 2>&1
  fi
  if [ -z "$venv" ] || [ ! -x "$format" ]; then
    not_run+=("clang-format: its wheel cannot be installed here (the test extra pins it)"); return
  fi
  files=$(cd "$root" && find src tests/cpp -name '*.h' -o -name '*.cc' | sort)
  (cd "$root" && "$format" --dry-run --Werror $files) || fail "clang-format (run it with -i on the files named)"
}

# clang-tidy, the version pinned in the test extra, over every folder of src/,
# with the compile commands of a configured (not built) tree. Any finding
# fails the run.
tidy_dirs=(base fs terminal pool pybinding)
static_analysis() {
  local tidy=$venv/bin/clang-tidy dir=$work/tidy path=$PATH pin
  section "clang-tidy (src/: ${tidy_dirs[*]})"
  if [ -n "$venv" ] && [ ! -x "$tidy" ]; then
    # Not installed with the test extra (no wheel for this machine): one try, wheels only.
    pin=$(grep -o '"clang-tidy==[0-9.]*' "$root/pyproject.toml" | tr -d '"')
    [ -n "$pin" ] && "$venv/bin/python" -m pip install -q --only-binary=:all: "$pin" >/dev/null 2>&1
  fi
  if [ -z "$venv" ] || [ ! -x "$tidy" ]; then
    not_run+=("clang-tidy: its wheel cannot be installed here (the test extra pins it)"); return
  fi
  if ! command -v cmake >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1; then
    "$venv/bin/python" -m pip install -q cmake ninja || { fail "clang-tidy: no cmake and ninja"; return; }
    path=$venv/bin:$PATH
  fi
  if ! PATH=$path cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
         -DPython_EXECUTABLE="$venv/bin/python" >/dev/null; then
    fail "clang-tidy: configuring $dir"; return
  fi
  local folders=("${tidy_dirs[@]/#/$root/src/}") filter
  filter="/src/($(IFS='|'; echo "${tidy_dirs[*]}"))/"
  find "${folders[@]}" -name '*.cc' -print0 | sort -z |
    xargs -0 -P"$jobs" -n4 "$tidy" -p "$dir" --quiet --header-filter="$filter" ||
    fail "clang-tidy"
}

python_tests "$python"
if [ "$python_only" -eq 0 ]; then
  if is_root; then
    unprivileged_python_tests
  else
    echo "== not root: the tests that create accounts skip"
  fi
  format_check
  cpp_tests
  static_analysis
fi

for part in ${not_run[@]+"${not_run[@]}"}; do echo "-- not run: $part"; done
if [ ${#failed[@]} -gt 0 ]; then
  printf '!! failed: %s\n' "${failed[@]}"
  exit 1
fi
section "all tests that ran passed"
