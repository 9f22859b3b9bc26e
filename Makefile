# Everything a fresh Debian machine with Python 3.11 needs is installed here.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
NP1 := .venv-numpy1
NP1PY := $(NP1)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

PIN := -c constraints.txt

.PHONY: demo test test-cpp test-python test-numpy1 bench bench-causal sanitize wheel install system-deps clean format lint

# The demo gets a light venv of its own: the wheel's build tools and what the
# example imports, none of the test or development tools.
DEMO := .venv-demo
DEMOPY := $(DEMO)/bin/python

$(DEMO)/.ready: constraints.txt
	@echo "creating $(DEMO) for the demo..."
	$(PYTHON) -m venv $(DEMO)
	@echo "installing the wheel's build tools: scikit-build-core, cmake, ninja..."
	$(DEMOPY) -m pip install -q $(PIN) scikit-build-core cmake ninja
	@echo "installing numpy, pandas, causaldata..."
	$(DEMOPY) -m pip install -q $(PIN) "numpy==2.4.6" pandas causaldata
	touch $@

demo: $(DEMO)/.ready
	@echo "building the wheel (C++20, a few minutes the first time)..."
	rm -rf build/demo-dist
	$(DEMOPY) -m pip wheel -q --no-build-isolation --no-deps -C build-dir=build/demo -w build/demo-dist .
	@echo "installing the wheel into $(DEMO)..."
	$(DEMOPY) -m pip install -q --force-reinstall --no-deps build/demo-dist/*.whl
	@echo "running the NSW/CPS demo..."
	@$(DEMOPY) examples/nsw_demo.py

test: test-cpp test-python test-numpy1

# Debian packages: installed when missing and we are root, else reported.
APT_PACKAGES := libgtest-dev chromium
system-deps:
	@missing=""; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	command -v chromium >/dev/null 2>&1 || missing="$$missing chromium"; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	  else echo "missing Debian packages:$$missing (sudo apt-get install$$missing)"; \
	    [ -f /usr/include/gtest/gtest.h ] || exit 1; fi; \
	fi

$(VENV)/.ready: pyproject.toml constraints.txt
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q $(PIN) scikit-build-core cmake ninja "numpy==2.4.6" pytest mypy hypothesis \
	  nbclient nbformat ipykernel "dask[array]" distributed causaldata pandas scipy scikit-learn
	touch $@

# Style is mechanical: clang-format for C++, ruff for Python.
CXX_SOURCES = $(shell git ls-files 'core/*.cpp' 'core/*.hpp' 'python/src/*.cpp' 'python/src/*.hpp' 'bench/*.cpp')
$(VENV)/.lint: constraints.txt | $(VENV)/.ready
	$(VPY) -m pip install -q $(PIN) clang-format ruff
	touch $@

format: $(VENV)/.lint
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff format .
	$(VENV)/bin/ruff check --fix .

lint: $(VENV)/.lint
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/ruff check .

wheel: $(VENV)/.ready
	rm -rf build/dist
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -w build/dist .

install: wheel
	$(VPY) -m pip install -q --force-reinstall --no-deps build/dist/*.whl

test-cpp: system-deps $(VENV)/.ready
	cmake -S . -B build/cpp -G Ninja -DQUORVANTIS_PYTHON=OFF -DQUORVANTIS_TESTS=ON
	cmake --build build/cpp
	ctest --test-dir build/cpp --output-on-failure

test-python: system-deps install
	cd python/tests && ../../$(VPY) -m pytest -q

# The same wheel against NumPy 1.26.
$(NP1)/.ready: pyproject.toml constraints.txt
	$(PYTHON) -m venv $(NP1)
	$(NP1PY) -m pip install -q $(PIN) "numpy==1.26.4" pytest hypothesis
	touch $@

test-numpy1: wheel $(NP1)/.ready
	$(NP1PY) -m pip install -q --force-reinstall --no-deps build/dist/*.whl
	cd python/tests && ../../$(NP1PY) -m pytest -q -p no:cacheprovider

# Peers that fail to install are left out of the table, not fatal.
bench: install
	$(VPY) -m pip install -q "scikit-learn>=1.3"
	-$(VPY) -m pip install -q econml
	-$(VPY) -m pip install -q causalml
	$(VPY) bench/run.py
	$(VPY) bench/memory.py

# Causal forest next to EconML and causalml (bench/causal/run.py --help), then
# policy trees next to EconML's (bench/policy.py);
# e.g. BENCH_ARGS=--quick or BENCH_ARGS="--section scale". NumPy stays at the
# venv's pin; a peer that cannot install under it is left out.
BENCH_PEERS := $(PIN) "numpy==2.4.6"
bench-causal: install
	$(VPY) -m pip install -q $(BENCH_PEERS) "scikit-learn>=1.3"
	-$(VPY) -m pip install -q $(BENCH_PEERS) econml
	-$(VPY) -m pip install -q $(BENCH_PEERS) causalml
	$(VPY) bench/causal/run.py $(BENCH_ARGS)
	$(VPY) bench/policy.py

clean:
	rm -rf build $(VENV) $(NP1) $(DEMO)

# C++ and Python tests with AddressSanitizer and UBSan; the stock interpreter
# gets libasan preloaded, and libstdc++ with it so that the sanitizer finds
# the C++ runtime's exception functions (loaded later, it aborts on a throw). Leak reports are off: the interpreter itself keeps
# allocations alive at exit.
SAN_ENV := ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitize: system-deps $(VENV)/.ready
	cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANTIS_SANITIZE=ON \
	  -DQUORVANTIS_TESTS=ON -DPython_EXECUTABLE=$(CURDIR)/$(VPY)
	cmake --build build/sanitize
	cp python/_quorvantis.pyi build/sanitize/
	$(SAN_ENV) ctest --test-dir build/sanitize --output-on-failure
	cd python/tests && $(SAN_ENV) LD_PRELOAD=$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libstdc++.so) \
	  PYTHONPATH=$(CURDIR)/build/sanitize:$(CURDIR)/python ../../$(VPY) -m pytest -q -p no:cacheprovider
