#!/usr/bin/env bash
# Builds the module and runs every test in a Debian bookworm i386 root, where
# size_t is 32 bits and there is no 128-bit integer: the module's real target
# width, on an x86_64 machine whose kernel runs i386 programs natively.
#
#   tools/i386.sh PYBIND11_DIR                 builds with CMake, runs CTest and every test
#   tools/i386.sh --wheel SDIST PYLIB OUTDIR   builds a wheel from a source archive into OUTDIR,
#                                              with zig (see below)
#   tools/i386.sh --check WHEEL SDIST PYLIB    installs the wheel into a fresh venv and runs
#                                              every test of the source archive against it
#   tools/i386.sh --bench PYBIND11_DIR         builds the module and the bench's floors, then
#                                              answers the bench's row cases on standard input
#                                              and output (bench/rows.py --serve) until its
#                                              input ends; all else it prints goes to stderr
#
# PYBIND11_DIR is an installed pybind11 3.x package (the directory of its
# Python package, holding include/ and share/cmake/): Debian's is 2.x, and its
# headers are all that the build needs of it. PYLIB is a directory of the pure
# Python packages that Debian lacks or has too old (pip, scikit-build-core,
# pybind11), as `pip install --target` lays them out. The root is cached in
# $TOLVANE_I386_CACHE (default /var/cache/tolvane-i386) and built anew when the
# package list below changes. Needs root, for debootstrap and chroot.
#
# A wheel is built by tools/zig-cxx, for the zig target in $TOLVANE_ZIG_TARGET
# (x86-linux-gnu.2.17: the glibc that the wheel needs at least), with the zig
# of this machine, $TOLVANE_ZIG: a static x86_64 program, which the root runs
# as it is, and whose package is mounted into the root read-only.
set -euo pipefail

usage="usage: $0 PYBIND11_DIR | --wheel SDIST PYLIB OUTDIR | --check WHEEL SDIST PYLIB | --bench PYBIND11_DIR"
mode=test
case ${1:-} in
  --wheel) [ $# = 4 ] || { echo "$usage" >&2; exit 2; }; mode=wheel sdist=$2 pylib=$3 outdir=$4
     zig=${TOLVANE_ZIG:?the zig program} zig_target=${TOLVANE_ZIG_TARGET:?a zig target} ;;
  --check) [ $# = 4 ] || { echo "$usage" >&2; exit 2; }; mode=check wheel=$2 sdist=$3 pylib=$4 ;;
  --bench) [ $# = 2 ] || { echo "$usage" >&2; exit 2; }; mode=bench pybind11_dir=$2 ;;
  *) pybind11_dir=${1:?$usage} ;;
esac
if [ "$mode" = test ] || [ "$mode" = bench ]; then
  test -f "$pybind11_dir/share/cmake/pybind11/pybind11Config.cmake" ||
    { echo "$0: $pybind11_dir is not an installed pybind11 package" >&2; exit 2; }
fi
[ "$(id -u)" = 0 ] || { echo "$0: needs root (debootstrap, chroot)" >&2; exit 2; }
# The bench reads its answers from standard output: it gets them alone, on
# descriptor 3.
if [ "$mode" = bench ]; then exec 3>&1 1>&2; fi

source_dir=$(cd "$(dirname "$0")/.." && pwd)
cache=${TOLVANE_I386_CACHE:-/var/cache/tolvane-i386}
root=$cache/root
suite=bookworm
packages=(python3 python3-dev python3-numpy python3-pytest python3-hypothesis python3-tqdm python3-dask
          python3-distributed g++ cmake make)
stamp="$suite ${packages[*]}"

# Runs a command in the root at $1: it sees an i686 machine and none of this
# shell's environment (no venv, no PYTHONPATH).
in_root() {
  local dir=$1
  shift
  linux32 chroot "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}

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

# Builds the root beside the old one and swaps it in only when complete, so
# that an interrupted build is never used.
build_root() {
  command -v debootstrap > /dev/null || { apt-get update -qq && apt-get install -y -qq debootstrap; }
  local fresh=$cache/root.new archive
  archive=$(mirror)
  rm -rf "$fresh"
  echo "i386: debootstrap $suite from $archive, then ${packages[*]}"
  { linux32 debootstrap --arch=i386 --variant=minbase "$suite" "$fresh" "$archive" &&
    in_root "$fresh" apt-get update &&
    in_root "$fresh" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${packages[@]}" &&
    in_root "$fresh" apt-get clean; } > "$cache/build.log" 2>&1 ||
    { tail -n 30 "$cache/build.log" >&2; echo "i386: building the root failed, see $cache/build.log" >&2; exit 1; }
  echo "$stamp" > "$fresh/.tolvane-stamp"
  rm -rf --one-file-system "$root"
  mv "$fresh" "$root"
}

# dask and zig read /proc, and a wheel's build runs zig: mounted for the run,
# and always taken down again, before anything in the root is removed.
unmount() {
  local dir
  for dir in "$root/proc" "$root/opt/zig"; do ! mountpoint -q "$dir" || umount "$dir"; done
}

mkdir -p "$cache"
# One run at a time builds or uses the root.
exec 9> "$cache/lock"
flock 9
unmount
[ "$(cat "$root/.tolvane-stamp" 2>/dev/null)" = "$stamp" ] || build_root
trap unmount EXIT
mount -t proc proc "$root/proc"

# What the run works on is copied in, so that nothing outside becomes root's.
rm -rf "$root/build"
mkdir -p "$root/build"

# Wheels: built with the pip and build backend of PYLIB, against Debian's
# Python and NumPy; checked in a venv that sees Debian's packages (NumPy,
# pytest, dask) and the wheel, run from the unpacked source archive, which
# holds no module: the tests can import only the installed one.
if [ "$mode" = wheel ]; then
  cp -r "$pylib" "$root/build/pylib"
  cp "$sdist" "$source_dir/tools/zig-cxx" "$root/build/"
  mkdir -p "$root/opt/zig"
  mount --bind "$(dirname "$zig")" "$root/opt/zig"
  mount -o remount,bind,ro "$root/opt/zig"
  # Debian's pyconfig.h includes its architecture's from a path under
  # /usr/include, which zig does not search: its own glibc 2.17 headers stand
  # in for Debian's. That one directory is searched, after all others.
  mkdir -p "$root/build/multiarch/i386-linux-gnu"
  ln -s /usr/include/i386-linux-gnu/python3.11 "$root/build/multiarch/i386-linux-gnu/"
  in_root "$root" env PYTHONPATH=/build/pylib CXX=/build/zig-cxx TOLVANE_ZIG="/opt/zig/$(basename "$zig")" \
    TOLVANE_ZIG_TARGET="$zig_target" CXXFLAGS="-idirafter /build/multiarch" \
    python3 -m pip wheel --quiet --no-build-isolation --no-deps \
    --wheel-dir /build/wheel "/build/$(basename "$sdist")"
  mkdir -p "$outdir"
  cp "$root"/build/wheel/*.whl "$outdir/"
  exit 0
fi
if [ "$mode" = check ]; then
  cp -r "$pylib" "$root/build/pylib"
  cp "$wheel" "$root/build/"
  mkdir -p "$root/build/src"
  tar -C "$root/build/src" --strip-components=1 -xzf "$sdist"
  in_root "$root" python3 -m venv --without-pip --system-site-packages /build/venv
  in_root "$root" env PYTHONPATH=/build/pylib /build/venv/bin/python -m pip install --quiet --no-index \
    "/build/$(basename "$wheel")"
  in_root "$root" env -C /build/src /build/venv/bin/python -c 'import platform, sys, tolvane
assert tolvane.__file__.startswith(sys.prefix), tolvane.__file__
print("i386:", platform.machine(), "Python", platform.python_version(), tolvane.__file__)'
  in_root "$root" env -C /build/src /build/venv/bin/python -m pytest -p no:cacheprovider
  exit 0
fi

mkdir -p "$root/build/src" "$root/build/pybind11"
tar -C "$source_dir" -c --exclude=./.git --exclude=./.venv --exclude=./build --exclude=./dist --exclude=.pytest_cache \
  --exclude=.hypothesis --exclude=__pycache__ --exclude='*.so' . | tar -C "$root/build/src" -x
cp -r "$pybind11_dir/include" "$pybind11_dir/share" "$root/build/pybind11/"

in_root "$root" cmake -S /build/src -B /build/out -DTOLVANE_MODULE=ON \
  -Dpybind11_DIR=/build/pybind11/share/cmake/pybind11 -DPython_EXECUTABLE=/usr/bin/python3 > /dev/null
# The bench: the module and the floors (as far as they build here), then the
# row cases, for as long as the bench asks.
if [ "$mode" = bench ]; then
  in_root "$root" cmake --build /build/out --target tolvane -j 2
  floors=()
  if in_root "$root" cmake -S /build/src/bench -B /build/bench > /dev/null &&
     in_root "$root" cmake --build /build/bench --target floors -j 2; then
    floors=(--floors /build/bench/floors)
  else
    echo "i386: the bench's floors did not build; the row cases run without them"
  fi
  in_root "$root" env PYTHONPATH=/build/out python3 /build/src/bench/rows.py --serve "${floors[@]}" >&3
  exit 0
fi
in_root "$root" cmake --build /build/out -j 2
in_root "$root" ctest --test-dir /build/out -V
# Installed as pip would lay it out (the module with its stubs), in a fresh place.
in_root "$root" cmake --install /build/out --prefix /build/site > /dev/null
in_root "$root" env PYTHONPATH=/build/site python3 -c 'import platform, numpy, tolvane
print("i386:", platform.machine(), "Python", platform.python_version(), "NumPy", numpy.__version__, tolvane.__file__)'
in_root "$root" env -C /build/src PYTHONPATH=/build/site python3 -m pytest -p no:cacheprovider
