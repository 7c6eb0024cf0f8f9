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
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" cmake ninja pytest hypothesis mypy
	touch $@

# Rebuilds (incrementally, in build/) whenever a source changes.
$(VENV)/.installed: $(VENV)/.ready $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation ".[test]"
	touch $@

test: $(VENV)/.installed
	$(PY) -m pytest -q $(PYTEST_ARGS)

demo: $(VENV)/.installed
	$(PY) examples/load_test.py $(DEMO_ARGS)

bench: $(VENV)/.installed
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV)
