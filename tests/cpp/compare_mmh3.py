"""Compare the C++ MurmurHash3 header with the mmh3 package, an independent
implementation of the same public algorithm: random keys of every length from
0 to 300 (every tail length many times over) under random seeds.

    compare_mmh3.py [EMULATOR...] DIGEST_TOOL

A cross build runs the digest tool under its emulator, named before it.
"""

import random
import subprocess
import sys

try:
    import mmh3
except ImportError:  # Debian, for one, has no package of it
    mmh3 = None

# The exit status that CTest reports as a skipped test.
SKIPPED = 77


def main(digest_tool: list[str]) -> int:
    rng = random.Random(20261208)
    cases = [
        (rng.getrandbits(32), rng.randbytes(length))
        for length in range(301)
        for _ in range(8)
    ]
    cases += [(0, b""), (0xFFFFFFFF, b"\xff" * 31)]
    lines = "".join(f"{seed} {key.hex() or '-'}\n" for seed, key in cases)
    output = subprocess.run(
        digest_tool, input=lines, capture_output=True, text=True, check=True
    ).stdout.split("\n")
    mismatches = 0
    for (seed, key), line in zip(cases, output):
        expected = " ".join(
            (
                mmh3.hash(key, seed, signed=False).to_bytes(4, "little").hex(),
                mmh3.hash_bytes(key, seed, x64arch=False).hex(),
                mmh3.hash_bytes(key, seed, x64arch=True).hex(),
            )
        )
        if line != expected:
            mismatches += 1
            print(f"seed {seed} key {key.hex()}: got {line}, mmh3 {expected}")
    print(f"{len(cases)} keys compared with mmh3, {mismatches} mismatches")
    return 1 if mismatches else 0


if __name__ == "__main__":
    if mmh3 is None:
        print("skipped: the mmh3 package is not installed")
        sys.exit(SKIPPED)
    sys.exit(main(sys.argv[1:]))
