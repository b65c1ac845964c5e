# make demo: set up .venv, build, run the example.  make test: every test.
# make test-i386: every test again in a Debian i386 root (needs root).
# make docs: redraw docs/fpr.png.  make bench: speed against peers and floors.
PYTHON ?= python3.11
VENV ?= .venv
BIN := $(VENV)/bin
CTEST_DIR := build/ctest

.PHONY: demo test test-i386 pytest typecheck ctest install docs bench clean

demo: install
	$(BIN)/python examples/quickstart.py

test: pytest typecheck ctest

pytest: install
	$(BIN)/python -m pytest

# The stub against the module as built, and the examples against the stub.
typecheck: install
	$(BIN)/python -m mypy.stubtest tolvane
	$(BIN)/mypy --strict examples/

ctest: $(VENV)/.deps
	$(BIN)/cmake -S . -B $(CTEST_DIR) -DPython_EXECUTABLE=$(abspath $(BIN)/python) > /dev/null
	$(BIN)/cmake --build $(CTEST_DIR) -j 2
	$(BIN)/ctest --test-dir $(CTEST_DIR) --output-on-failure

# The root gets pybind11's headers from the venv: Debian's pybind11 is 2.x.
test-i386: $(VENV)/.deps
	tools/i386.sh "$$($(BIN)/python -c 'import os, pybind11; print(os.path.dirname(pybind11.__file__))')"

# The build requirements are installed once so that rebuilds run without
# isolation and reuse build/ (incremental); the extension is reinstalled on
# every run so that it always matches the sources.
install: $(VENV)/.deps
	$(BIN)/pip install --quiet --no-build-isolation --no-deps .

$(VENV)/.deps: pyproject.toml
	test -x $(BIN)/python || $(PYTHON) -m venv $(VENV)
	$(BIN)/pip install --quiet --upgrade pip
	$(BIN)/pip install --quiet cmake ninja $$($(BIN)/python -c \
	  "import tomllib; print(' '.join(tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires']))")
	$(BIN)/pip install --quiet --no-build-isolation '.[test,examples]'
	touch $@

# BENCH=--quick for a shorter run.
bench: install $(VENV)/.bench-deps
	$(BIN)/cmake -S bench -B build/bench > /dev/null
	$(BIN)/cmake --build build/bench -j 2
	build/bench/hash_speed
	$(BIN)/python bench/rows.py --floors build/bench/floors --plot docs/speed.png $(BENCH)

$(VENV)/.bench-deps: $(VENV)/.deps
	$(BIN)/pip install --quiet --no-build-isolation '.[bench]'
	touch $@

docs: install $(VENV)/.docs-deps
	$(BIN)/python docs/fpr.py docs/fpr.png

$(VENV)/.docs-deps: $(VENV)/.deps
	$(BIN)/pip install --quiet --no-build-isolation '.[docs]'
	touch $@

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis .mypy_cache
