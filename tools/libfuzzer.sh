#!/usr/bin/env bash
# Prints the path of libFuzzer's archive without main(), from Debian's
# libclang-rt-14-dev. When it is missing, installs that package where this
# shell may (root, with apt-get), or says the command that does.
set -euo pipefail

find_archive() { ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer_no_main-x86_64.a 2> /dev/null | head -n 1 || true; }

archive=$(find_archive)
if [ -z "$archive" ]; then
  install="apt-get update && apt-get install libclang-rt-14-dev"
  if [ "$(id -u)" = 0 ] && command -v apt-get > /dev/null; then
    echo "make fuzz: libFuzzer is missing; $install" >&2
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libclang-rt-14-dev; } > /dev/null
    archive=$(find_archive)
  fi
  [ -n "$archive" ] || { echo "make fuzz needs libFuzzer; as root: $install" >&2; exit 1; }
fi
echo "$archive"
