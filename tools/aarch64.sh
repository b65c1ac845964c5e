#!/usr/bin/env bash
# Builds the module for Linux aarch64 on this x86_64 machine and runs every
# test on it under qemu-user's emulation, with Debian bookworm's arm64 Python
# and NumPy: a 64-bit target where char is unsigned, memory is weakly ordered
# and none of the module's x86 code is compiled (g++ and zig refuse
# <immintrin.h> for aarch64, and no x86 intrinsic compiles without it).
#
#   tools/aarch64.sh VENV                        builds with Debian's cross g++ in build/aarch64,
#                                                runs CTest and every test
#   tools/aarch64.sh --wheel SDIST VENV OUTDIR   builds a wheel from a source archive with zig,
#                                                against glibc 2.17, into OUTDIR
#   tools/aarch64.sh --check WHEEL SDIST PYLIB   installs the wheel into a fresh venv in the root
#                                                and runs every test of the source archive against it
#
# VENV is the project's venv (make's .venv): its CMake and pybind11 build the
# module, its scikit-build-core and zig (the ziglang package) the wheel, and
# CTest compares the hash with its mmh3. PYLIB is a directory holding pip, as
# `pip install --target` lays it out: Debian's Python has none of its own.
#
# The root is not a system to chroot into: Debian's packages are fetched with
# a private apt state and unpacked, and `qemu-aarch64 -L ROOT` runs its
# programs, looking up absolute paths in the root first and on this machine
# after. It is cached in $TOLVANE_AARCH64_CACHE (default
# /var/cache/tolvane-aarch64) and built anew when the package list below
# changes. Needs Debian's qemu-user and g++-aarch64-linux-gnu (also for its
# strip), and no root but for the cache's directory.
set -euo pipefail

usage="usage: $0 VENV | --wheel SDIST VENV OUTDIR | --check WHEEL SDIST PYLIB"
mode=test
case ${1:-} in
  --wheel) [ $# = 4 ] || { echo "$usage" >&2; exit 2; }; mode=wheel sdist=$2 venv=$3 outdir=$4 ;;
  --check) [ $# = 4 ] || { echo "$usage" >&2; exit 2; }; mode=check wheel=$2 sdist=$3 pylib=$4 ;;
  *) [ $# = 1 ] || { echo "$usage" >&2; exit 2; }; venv=$1 ;;
esac
for tool in qemu-aarch64:qemu-user aarch64-linux-gnu-g++:g++-aarch64-linux-gnu; do
  command -v "${tool%%:*}" > /dev/null ||
    { echo "$0: needs ${tool%%:*} (Debian: apt-get install ${tool#*:})" >&2; exit 2; }
done

source_dir=$(cd "$(dirname "$0")/.." && pwd)
# CMake's builds are not make's own sub-makes: no "Entering directory" lines.
unset MAKEFLAGS MFLAGS MAKELEVEL
cache=${TOLVANE_AARCH64_CACHE:-/var/cache/tolvane-aarch64}
root=$cache/root
suite=bookworm
# libpython3.11-dev holds the headers that the module is built against.
packages=(python3.11 libpython3.11-stdlib libpython3.11-dev python3-numpy python3-pytest python3-hypothesis
          python3-tqdm python3-dask python3-distributed libstdc++6)
stamp="$suite arm64 ${packages[*]} byte-compiled"

# The archive that apt on this machine uses for the suite, from either format
# of sources list; Debian's own when none names it.
mirror() {
  local found
  found=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v suite="$suite" '
    /^URIs:/ { uri = $2 }
    /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) { print uri; exit } }')
  [ -n "$found" ] || found=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    sed 's/\[[^]]*\]//' | awk -v suite="$suite" '$1 == "deb" && $3 == suite { print $2; exit }')
  echo "${found:-http://deb.debian.org/debian}"
}

# Byte-compiles the root unpacked in $1, as Debian's maintainer scripts would
# have done: else every interpreter compiles what it imports, under emulation,
# and cannot keep it (qemu puts a __pycache__ that the root lacks on this
# machine's path). Importing NumPy took 5.2 s that way, and the tests start
# many interpreters. The root's own interpreter compiles, recording the paths
# that it sees.
compile_root() {
  local dir=$1
  qemu-aarch64 -L "$dir" "$dir/usr/bin/python3.11" -m compileall -q -s "$dir" -p / \
    "$dir/usr/lib/python3.11" "$dir/usr/lib/python3/dist-packages"
}

# Fetches the packages with an apt state of its own (arm64 only, its own
# lists and an empty dpkg status, so that every dependency is fetched) and
# unpacks them beside the old root, which it replaces only when complete.
# Unpacking runs no maintainer scripts: update-alternatives would have linked
# the reference BLAS and LAPACK, which NumPy loads by these names.
build_root() {
  local fresh=$cache/root.new state=$cache/apt keyring=/usr/share/keyrings/debian-archive-keyring.gpg archive
  local signed=
  archive=$(mirror)
  [ ! -f "$keyring" ] || signed=" signed-by=$keyring"
  rm -rf "$fresh" "$state"
  mkdir -p "$fresh" "$state"/lists/partial "$state"/archives/partial "$state"/parts
  : > "$state/status"
  echo "deb [arch=arm64$signed] $archive $suite main" > "$state/sources.list"
  local apt=(apt-get -q -o APT::Architecture=arm64 -o APT::Architectures=arm64 -o Debug::NoLocking=1
             -o Dir::State="$state" -o Dir::State::status="$state/status" -o Dir::Cache="$state"
             -o Dir::Cache::archives="$state/archives" -o Dir::Etc::SourceList="$state/sources.list"
             -o Dir::Etc::SourceParts="$state/parts" -o Dir::Etc::PreferencesParts="$state/parts")
  echo "aarch64: fetching $suite arm64 ${packages[*]} from $archive"
  { "${apt[@]}" update &&
    "${apt[@]}" install -y --download-only --no-install-recommends "${packages[@]}" &&
    for deb in "$state"/archives/*.deb; do dpkg-deb -x "$deb" "$fresh"; done &&
    compile_root "$fresh"; } > "$cache/build.log" 2>&1 ||
    { tail -n 30 "$cache/build.log" >&2; echo "aarch64: building the root failed, see $cache/build.log" >&2; exit 1; }
  ln -s blas/libblas.so.3 "$fresh/usr/lib/aarch64-linux-gnu/libblas.so.3"
  ln -s lapack/liblapack.so.3 "$fresh/usr/lib/aarch64-linux-gnu/liblapack.so.3"
  # Every directory on the interpreter's path exists in the root, so that
  # qemu never falls through to this machine's own (/usr/local has a .pth).
  mkdir -p "$fresh/usr/local/lib/python3.11/dist-packages" "$fresh/usr/lib/python3.11/dist-packages"
  echo "$stamp" > "$fresh/.tolvane-stamp"
  rm -rf --one-file-system "$root" "$state"
  mv "$fresh" "$root"
}

# An interpreter for this machine to run: it starts the root's python3.11
# under qemu with argv[0] set to its own path, so that sys.executable names it
# and every child interpreter that the tests start runs emulated too (there
# is no binfmt_misc to do that). A venv made by it links to it.
write_interpreter() {
  printf '#!/bin/sh\nexec qemu-aarch64 -L %s -0 "$0" %s/usr/bin/python3.11 "$@"\n' "$root" "$root" > "$1"
  chmod +x "$1"
}

# What every cross build passes to CMake besides its compiler: the target and
# the headers of the root's Python (its pyconfig.h includes
# <aarch64-linux-gnu/python3.11/pyconfig.h>, found after the compiler's own
# headers); and the extension suffix of aarch64's Python.
cross_defines=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64
               -DCMAKE_STRIP="$(command -v aarch64-linux-gnu-strip)" "-DCMAKE_CXX_FLAGS=-idirafter $root/usr/include"
               -DPYBIND11_USE_CROSSCOMPILING=ON -DPython_INCLUDE_DIR="$root/usr/include/python3.11")
ext_suffix=.cpython-311-aarch64-linux-gnu.so
# The tests' timeouts, for hangs, stretched for emulation: a child interpreter
# that starts a dask cluster takes over a minute on a busy machine.
timeout_scale=5

mkdir -p "$cache"
# One run at a time builds the root, and none while another uses it; runs
# that only use it share it (the test and the wheel's check can run at once).
current() { [ "$(cat "$root/.tolvane-stamp" 2>/dev/null)" = "$stamp" ]; }
exec 9> "$cache/lock"
flock -s 9
if ! current; then
  flock 9
  current || build_root
  flock -s 9
fi

# Wheels: built here with zig, which brings the headers and stubs of glibc
# 2.17 and links its own libc++ statically, so that the wheel needs nothing
# newer of the system; scikit-build-core takes the target's platform tag and
# extension suffix from the environment. auditwheel then tags it.
if [ "$mode" = wheel ]; then
  work=$source_dir/build/aarch64-wheel
  rm -rf "$work"
  mkdir -p "$work" "$outdir"
  zig=$("$venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  printf '#!/bin/sh\nexec %s c++ -target aarch64-linux-gnu.2.17 "$@"\n' "$zig" > "$work/zig-c++"
  chmod +x "$work/zig-c++"
  settings=()
  for define in "${cross_defines[@]}" -DCMAKE_CXX_COMPILER="$work/zig-c++"; do
    settings+=(-C "cmake.define.${define#-D}")
  done
  ZIG_GLOBAL_CACHE_DIR=$cache/zig ZIG_LOCAL_CACHE_DIR=$work/zig-cache \
    _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=$ext_suffix \
    "$venv/bin/pip" wheel --quiet --no-build-isolation --no-deps --wheel-dir "$outdir" \
    -C cmake.python-hints=false "${settings[@]}" "$sdist"
  exit 0
fi

# The wheel's check: a venv of the root's Python that sees Debian's packages
# (NumPy, pytest, dask) and the wheel, run from the unpacked source archive,
# which holds no module: the tests can import only the installed one.
if [ "$mode" = check ]; then
  work=$source_dir/build/aarch64-check
  rm -rf "$work"
  mkdir -p "$work/src"
  write_interpreter "$work/python3"
  tar -C "$work/src" --strip-components=1 -xzf "$sdist"
  "$work/python3" -m venv --without-pip --system-site-packages "$work/venv"
  PYTHONPATH=$pylib "$work/venv/bin/python" -m pip install --quiet --no-index --no-compile "$wheel"
  (cd "$work/src" && "$work/venv/bin/python" -c 'import platform, sys, tolvane
assert tolvane.__file__.startswith(sys.prefix), tolvane.__file__
print("aarch64:", platform.machine(), "Python", platform.python_version(), tolvane.__file__)')
  cd "$work/src" && TOLVANE_TIMEOUT_SCALE=$timeout_scale exec "$work/venv/bin/python" -m pytest -p no:cacheprovider --basetemp="$work/tmp"
fi

# The module with Debian's cross g++ (and its libstdc++, which the root has),
# the C++ tests run by CTest under qemu (the mmh3 comparison on this
# machine's Python, with its digests from the emulated tool), then every test.
work=$source_dir/build/aarch64
rm -rf "$work/src" "$work/site" "$work/tmp"
mkdir -p "$work/src"
write_interpreter "$work/python3"
tar -C "$source_dir" -c --exclude=./.git --exclude=./.venv --exclude=./.venv-asan --exclude=./build --exclude=./dist \
  --exclude=.pytest_cache --exclude=.hypothesis --exclude=.mypy_cache --exclude=__pycache__ --exclude='*.so' . |
  tar -C "$work/src" -x
pybind11_dir=$("$venv/bin/python" -c 'import os, pybind11; print(os.path.dirname(pybind11.__file__))')
"$venv/bin/cmake" -S "$work/src" -B "$work/out" "${cross_defines[@]}" -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
  "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64;-L;$root" -DPYTHON_MODULE_EXT_SUFFIX=$ext_suffix \
  -DTOLVANE_MODULE=ON -Dpybind11_DIR="$pybind11_dir/share/cmake/pybind11" \
  -DPython_EXECUTABLE="$(cd "$venv" && pwd)/bin/python" > /dev/null
"$venv/bin/cmake" --build "$work/out" -j 2
"$venv/bin/ctest" --test-dir "$work/out" -V
# Installed as pip would lay it out (the module with its stubs), in a fresh place.
"$venv/bin/cmake" --install "$work/out" --prefix "$work/site" > /dev/null
PYTHONPATH=$work/site "$work/python3" -c 'import platform, numpy, tolvane
print("aarch64:", platform.machine(), "Python", platform.python_version(), "NumPy", numpy.__version__, tolvane.__file__)'
cd "$work/src" && PYTHONPATH=$work/site TOLVANE_TIMEOUT_SCALE=$timeout_scale exec "$work/python3" -m pytest -p no:cacheprovider --basetemp="$work/tmp"
