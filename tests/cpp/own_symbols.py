"""Each row kernel file is compiled with its own instruction set's flags. Code
that a file defines weakly (inline functions, template instances) the linker
keeps once for the whole module, taken from any of the files that define it:
such code must be named for the file's own set (its inline namespace), or a
copy with AVX-512 instructions could be what runs on a CPU without them.

Usage: own_symbols.py NM OBJECT...; exits 77 (skipped) where NM cannot read
the objects."""

import subprocess
import sys
from pathlib import Path

SET_OF_FILE = {"one_at_a_time": "baseline", "avx2": "avx2", "avx512": "avx512"}
WEAK_CODE = "W"  # nm's letter for weak symbols that are not objects (data)


def shared(nm: str, path: str) -> list[str]:
    if not Path(path).is_file():
        sys.exit(f"no object file {path}")
    listed = subprocess.run([nm, "-C", "--defined-only", path], capture_output=True, text=True)
    if listed.returncode != 0 or not listed.stdout:
        print(f"{nm} cannot read {path}: {listed.stderr.strip()}")
        sys.exit(77)
    own = f"::{SET_OF_FILE[Path(path).name.split('.')[0]]}::"
    names = [line.split(maxsplit=2) for line in listed.stdout.splitlines()]
    return [name[2] for name in names if len(name) == 3 and name[1] == WEAK_CODE and own not in name[2]]


def main() -> int:
    nm, objects = sys.argv[1], sys.argv[2:]
    if not nm:
        print("no nm for this toolchain")
        return 77
    failed = False
    for path in objects:
        for name in shared(nm, path):
            print(f"{Path(path).name} defines code weakly, outside its set's namespace: {name}")
            failed = True
    print(f"{len(objects)} kernel files checked")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
