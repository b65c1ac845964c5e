#!/usr/bin/env bash
# Prints the directory of a qemu-user that emulates AVX2 correctly: Debian
# trixie's qemu-user (10.0, static binaries), fetched once with an apt state of
# its own and unpacked into $TOLVANE_QEMU_CACHE (default /var/cache/tolvane-qemu),
# nothing installed system-wide. Debian 12's qemu 7.2 answers some AVX2
# sequences wrongly (the module's answers on an emulated Haswell differed from
# the CPU's), which its Nehalem emulation, without AVX, does not show.
# Prints nothing, and fails, when it cannot be fetched.
set -euo pipefail

cache=${TOLVANE_QEMU_CACHE:-/var/cache/tolvane-qemu}
suite=trixie
package=qemu-user
stamp="$suite $package"
mkdir -p "$cache"
exec 9> "$cache/lock"
flock 9
if [ "$(cat "$cache/root/.tolvane-stamp" 2> /dev/null)" != "$stamp" ]; then
  state=$cache/apt
  rm -rf "$state" "$cache/root.new"
  mkdir -p "$state/lists/partial" "$state/archives/partial" "$cache/root.new"
  echo "deb http://deb.debian.org/debian $suite main" > "$state/sources.list"
  touch "$state/status"
  apt=(-o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
       -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state" -o Dir::State::Status="$state/status"
       -o APT::Architecture=amd64 -o Debug::NoLocking=1)
  { apt-get "${apt[@]}" update -qq && (cd "$state" && apt-get "${apt[@]}" download -qq "$package"); } \
    > "$cache/fetch.log" 2>&1 || { echo "qemu: fetching $package from $suite failed, see $cache/fetch.log" >&2; exit 1; }
  dpkg-deb -x "$state"/"$package"_*.deb "$cache/root.new"
  rm -rf "$state"
  echo "$stamp" > "$cache/root.new/.tolvane-stamp"
  rm -rf "$cache/root"
  mv "$cache/root.new" "$cache/root"
fi
echo "$cache/root/usr/bin"
