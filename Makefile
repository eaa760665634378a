# Everything a fresh machine needs: `make run` (the tour) and `make test`.
# VENV and BUILD_DIR may be overridden to keep several builds apart.
VENV      ?= .venv
BUILD_DIR ?= build/release
PY        := $(VENV)/bin/python
PROBES    ?= OFF
PIP_FLAGS := --no-build-isolation --no-deps --disable-pip-version-check -q
# pyproject.toml's dependency groups the venv gets (`pip install --group` needs pip 25.1).
GROUPS    := test bench lint
# Builds skip isolation, so the venv also holds pyproject.toml's build requirements.
BUILD_REQUIRES = $$($(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"])')

.PHONY: all install run check-layers test test-asan asan-run bench format format-check clean

all: install

$(VENV)/.deps: Makefile pyproject.toml
	@python=$$(tools/find-python) && "$$python" -m venv $(VENV)
	$(PY) -m pip install --disable-pip-version-check -q --upgrade 'pip>=25.1'
	$(PY) -m pip install --disable-pip-version-check -q $(BUILD_REQUIRES) $(GROUPS:%=--group %)
	@touch $@

install: $(VENV)/.deps
	$(PY) -m pip install $(PIP_FLAGS) -Cbuild-dir=$(BUILD_DIR) -Ccmake.define.NORV_WERROR=ON \
	    -Ccmake.define.NORV_TEST_PROBES=$(PROBES) .

run: install
	$(PY) examples/tour.py

# Every folder of src/ includes only the folders below it (the order is in the script).
check-layers: $(VENV)/.deps
	$(PY) tools/check-layers

# The tests also reach native steps that have no Python surface (`_native._testing`).
test: PROBES = ON
test: check-layers install
	$(PY) -m pytest $(PYTEST_ARGS)

# AddressSanitizer + UndefinedBehaviorSanitizer, assertions on. The runtime must
# be preloaded because the interpreter itself is not instrumented.
test-asan:
	$(MAKE) asan-run VENV=$(VENV)-asan

asan-run: $(VENV)/.deps
	$(PY) -m pip install $(PIP_FLAGS) -Cbuild-dir=build/asan -Ccmake.build-type=Debug \
	    -Ccmake.define.NORV_SANITIZE=ON -Ccmake.define.NORV_WERROR=ON -Ccmake.define.NORV_TEST_PROBES=ON .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# The C++ sources follow .clang-format, checked with the clang-format pinned in the lint group.
SOURCES = $(shell find src tests/native -name '*.cpp' -o -name '*.hpp')

format: $(VENV)/.deps
	@$(VENV)/bin/clang-format -i $(SOURCES)

format-check: $(VENV)/.deps
	@$(VENV)/bin/clang-format --dry-run --Werror $(SOURCES) && echo "clang-format: every source follows .clang-format"

bench: install
	@for b in bench/bench_*.py; do echo "== $$b"; $(PY) $$b --fast --quiet || exit 1; done

clean:
	rm -rf build $(VENV) $(VENV)-asan .pytest_cache
