"""Coverage-guided fuzzing of tolvane.bloomfilter with atheris.

    make fuzz FUZZ_RUNS=100000          # under the sanitizer build

Every input is a short program: make a filter, then run a few steps on it
(any of the sixteen methods, test_and_insert and test_mask, pickling and
copying) with generated arguments. Each step predicts its outcome first, from
the documented behaviour: the exact exception and message, or the result and
the bits, which tests/model.py computes independently. Any difference raises,
and atheris reports the input.
"""

import os
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

with atheris.instrument_imports(include=["filter_steps"]):
    import filter_steps


def main():
    atheris.Setup(sys.argv, filter_steps.run)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
