# The project's commands. `make test` works from a fresh clone: it finds or builds CPython 3.14,
# makes the virtual environment, builds the compiled core and runs every test.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
NATIVE_TESTS := build/native-tests

.PHONY: setup build test test-native test-python bench serve clean

$(VENV)/.installed: requirements-dev.txt
	@python=$$(scripts/python314.sh) && { [ -x $(PY) ] || "$$python" -m venv $(VENV); }
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

setup: $(VENV)/.installed

# The build folder persists, so a rebuild compiles only what changed.
build: setup
	$(PY) -m pip install -q --no-build-isolation --no-deps -e .

test-native: setup
	cmake -S . -B $(NATIVE_TESTS) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DQUENMARK_BUILD_TESTS=ON >/dev/null
	cmake --build $(NATIVE_TESTS) -j2 --target qmk_core_tests
	ctest --test-dir $(NATIVE_TESTS) --output-on-failure

test-python: build
	$(VENV)/bin/pytest -q

test: test-native test-python

bench: build
	@for b in benchmarks/bench_*.py; do echo "== $$b"; $(PY) "$$b" || exit 1; done

serve: build
	$(VENV)/bin/uvicorn --app-dir examples hello:app --port 8000

clean:
	rm -rf build $(VENV)
