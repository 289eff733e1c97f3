# The project's commands. `make test` works from a fresh clone: it finds or builds CPython 3.14,
# makes the virtual environment, builds the compiled core and runs every test.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
NATIVE_TESTS := build/native-tests
# Where `make serve` listens: `make serve HOST=0.0.0.0 PORT=8080`.
HOST ?= 127.0.0.1
PORT ?= 8000

.PHONY: setup build test test-native test-python typecheck bench bench-e2e bench-e2e-cell bench-e2e-instructions serve clean fuzz sanitize soak soak-refcount

$(VENV)/.installed: requirements-dev.txt
	@python=$$(scripts/python314.sh) && { [ -x $(PY) ] || "$$python" -m venv $(VENV); }
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

setup: $(VENV)/.installed

# The build folder persists, so a rebuild compiles only what changed. The modules keep their
# symbols, so that perf and callgrind name the functions in a profile.
build: setup
	SKBUILD_INSTALL_STRIP=false $(PY) -m pip install -q --no-build-isolation --no-deps -e .

test-native: setup
	cmake -S . -B $(NATIVE_TESTS) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DQUENMARK_BUILD_TESTS=ON >/dev/null
	cmake --build $(NATIVE_TESTS) -j2 --target qmk_core_tests
	ctest --test-dir $(NATIVE_TESTS) --output-on-failure

test-python: build
	$(VENV)/bin/pytest -q

# The package, the examples, the public API's typing checks and the guide's samples, under
# mypy --strict; and the compiled modules' stubs against their runtime signatures (stubtest).
COMPILED := quenmark.headers quenmark.messages quenmark.routing quenmark.keystone quenmark.scribe quenmark._multipart quenmark._contents

typecheck: build
	rm -rf build/guide && $(PY) tests/test_docs.py build/guide
	$(VENV)/bin/mypy --strict src/quenmark examples tests/typing build/guide
	$(PY) -m mypy.stubtest --allowlist tests/typing/stubtest-allowlist.txt $(COMPILED)

test: test-native test-python typecheck

# Fuzzers (fuzz/): FUZZ_BUDGET seconds each; FUZZ_SEED replays a run; FUZZ_ARGS picks fuzzers by
# name prefix or passes other options (python -m fuzz --help).
FUZZ_BUDGET ?= 20
fuzz: build
	$(PY) -m fuzz --budget $(FUZZ_BUDGET) $(if $(FUZZ_SEED),--seed $(FUZZ_SEED)) $(FUZZ_ARGS)

# The compiled modules under AddressSanitizer and UBSan (build/sanitize), running every test;
# SANITIZE_ARGS go to pytest.
sanitize:
	scripts/sanitize.sh $(SANITIZE_ARGS)

# Soak jobs (scripts/soak.py). soak: the example application under uvicorn and granian (RSGI),
# SOAK_REQUESTS requests each through wrk, memory sampled; fails when it keeps growing.
# soak-refcount: in process under the debug interpreter (built once into ~/.cache/quenmark),
# the total reference count across rounds of requests. SOAK_ARGS: more options (--help).
SOAK_REQUESTS ?= 1000000
soak: build
	@$(call apt_install,wrk,wrk)
	$(PY) scripts/soak.py servers --requests $(SOAK_REQUESTS) $(SOAK_ARGS)

soak-refcount:
	QUENMARK_PYDEBUG=1 scripts/venv.sh build/soak/venv-debug build/soak/debug-modules
	build/soak/venv-debug/bin/python scripts/soak.py refcount $(SOAK_ARGS)

bench: build
	@for b in benchmarks/bench_*.py; do echo "== $$b"; $(PY) "$$b" || exit 1; done

# Debian packages the end-to-end benchmark needs: wrk, and perf for its profiles.
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
apt_install = command -v $(1) >/dev/null || { $(SUDO) apt-get update -qq && \
  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $(2) >/dev/null; }

# Every app under every server, loaded by wrk: a table and a chart in benchmarks/e2e/results.
# QUICK=1 for one short round; ARGS for the rest (benchmarks/e2e/run.py --help).
bench-e2e: build
	@$(call apt_install,wrk,wrk)
	$(PY) benchmarks/e2e/run.py $(if $(QUICK),--quick) $(ARGS)

# One cell against the raw app of its server, e.g. APP=quenmark SERVER=granian-rsgi ENDPOINT=json
# PROFILE=perf (or py-spy) to print where the time goes; ARGS as for benchmarks/e2e/cell.py.
APP ?= quenmark
SERVER ?= uvicorn
ENDPOINT ?= text
bench-e2e-cell: build
	@$(call apt_install,wrk,wrk)
	@$(if $(filter perf,$(PROFILE)),$(call apt_install,perf,linux-perf))
	$(PY) benchmarks/e2e/cell.py $(APP) $(SERVER) $(ENDPOINT) $(if $(PROFILE),--profile $(PROFILE)) $(ARGS)

# Instructions per request under a real server (callgrind): steady where timings are noisy.
bench-e2e-instructions: build
	@$(call apt_install,valgrind,valgrind)
	$(PY) benchmarks/e2e/instructions.py $(ARGS)

serve: build
	$(VENV)/bin/uvicorn --app-dir examples hello:app --host $(HOST) --port $(PORT)

clean:
	rm -rf build $(VENV)
