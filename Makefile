# Set-up and checks. `make test` and `make demo` create .venv on first use and reuse it after.

# Python 3.13: python3.13 on the PATH, else pyenv's 3.13.0, else a python3 that is 3.13.
PYTHON313 := $(shell for p in "$$(command -v python3.13 2>/dev/null)" \
	"$$(pyenv prefix 3.13.0 2>/dev/null)/bin/python3.13" "$$(command -v python3 2>/dev/null)"; do \
	[ -x "$$p" ] && "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null \
	&& echo "$$p" && break; done)

VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name 'py.typed') \
	CMakeLists.txt pyproject.toml
PYTEST_ARGS ?=

.PHONY: test demo bench sanitize clean

$(VENV)/.ready:
	@[ -n "$(PYTHON313)" ] || { echo "Python 3.13 not found: install python3.13, or 3.13.0 with pyenv" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" cmake ninja pytest pytest-timeout hypothesis mypy
	touch $@

# Rebuilds (incrementally, in build/) whenever a source changes.
$(VENV)/.installed: $(VENV)/.ready $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation ".[test,report,cluster]"
	touch $@

test: $(VENV)/.installed
	$(PY) -m pytest -q $(PYTEST_ARGS)

# Writes report.html beside the Makefile; DEMO_ARGS="--report other.html" writes elsewhere.
demo: $(VENV)/.installed
	$(PY) examples/load_test.py --report report.html $(DEMO_ARGS)

bench: $(VENV)/.installed
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV) $(SAN_VENV)

# The extension modules built with AddressSanitizer and UndefinedBehaviorSanitizer, and the whole
# suite run under them (the runtimes preloaded into the interpreter, Python's allocator switched to
# malloc so that the sanitizer sees every object). Uses its own venv and build directory.
SAN_VENV := .venv-sanitize
SAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)

$(SAN_VENV)/.ready:
	@[ -n "$(PYTHON313)" ] || { echo "Python 3.13 not found" >&2; exit 1; }
	$(PYTHON313) -m venv $(SAN_VENV)
	$(SAN_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(SAN_VENV)/bin/python -m pip install --quiet "scikit-build-core>=0.10" cmake ninja pytest pytest-timeout hypothesis mypy
	touch $@

$(SAN_VENV)/.installed: $(SAN_VENV)/.ready $(SOURCES)
	$(SAN_VENV)/bin/python -m pip install --quiet --no-build-isolation \
		-C cmake.define.THREADS_MAIN_SANITIZE=ON -C build-dir=build/sanitize ".[test,report]"
	touch $@

sanitize: $(SAN_VENV)/.installed
	LD_PRELOAD="$(SAN_PRELOAD)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		$(SAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)
