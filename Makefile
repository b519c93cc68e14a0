# vesper: build, test and demo.  Every target installs what it needs on a
# fresh Debian 12 machine (apt-get for system packages, a virtual
# environment for Python packages) and is safe to rerun.

PYTHON      ?= python3
VENV        := .venv
VPY         := $(VENV)/bin/python
BUILD       := build
ASAN_BUILD  := build-asan
TSAN_BUILD  := build-tsan
FUZZ_BUILD  := build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := fuzz_url_validation fuzz_request_record fuzz_head_block
CMAKE       := $(VENV)/bin/cmake
JOBS        ?= 2
# Puts built libraries in place by renaming a copy over the old file, never
# rewriting a file a running program has mapped (scripts/install-so.sh).
INSTALL_SO  := sh $(CURDIR)/scripts/install-so.sh
# Prints a phase's wall and CPU seconds (scripts/timed.sh).
TIMED       := bash $(CURDIR)/scripts/timed.sh
# Exact releases of every Python package the build, the tests and the
# benchmarks use (requirements-dev.txt says which packages and why).
CONSTRAINTS := constraints-dev.txt

APT_PACKAGES := g++ libcurl4-openssl-dev libssl-dev libwslay-dev libnghttp2-dev zlib1g-dev \
                libbrotli-dev libzstd-dev libidn2-dev libpsl-dev make patch openssl libgtest-dev clang libclang-rt-14-dev \
                nginx-light procps tmux chromium
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# The module runs against the Core double in tests/module: the double is
# loaded first and takes the Core's place.
MODULE_ENV  := PYTHONPATH=$(CURDIR)/python VESPER_DOUBLE=$(CURDIR)/$(BUILD)/double/libhalyard.so
MODULE_ENV17 := PYTHONPATH=$(CURDIR)/python VESPER_DOUBLE=$(CURDIR)/$(BUILD)/double17/libhalyard.so
PYTEST      := $(VPY) -m pytest -q -p no:cacheprovider
# The test folders run on two workers (pytest-xdist), each test file on one
# worker, so its fixtures and order are those of a run of the file alone;
# every server set is a worker's own.  PYTEST_WORKERS=0 runs them in one
# process.
PYTEST_WORKERS ?= 2
XDIST       := $(if $(filter 0,$(PYTEST_WORKERS)),,-n $(PYTEST_WORKERS) --dist loadfile)

.PHONY: all deps tls-stack native build test tail-lanes test-core tsan-core tsan-module test-module test-live test-package test-cli test-wheel typecheck docs wheel \
        sanitize sanitize-build lsan-core tsan tsan-build fuzz fuzz-build instrumented-builds demo bench soak clean

all: build

# Rerun when the QUIC library's installer or this file (its package list) changes.
$(VENV)/.apt-done: scripts/install-quic-libcurl.sh Makefile
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi
	@sh scripts/install-quic-libcurl.sh
	@mkdir -p $(VENV) && touch $@

$(VENV)/.pip-done: requirements-dev.txt $(CONSTRAINTS) | $(VENV)/.apt-done
	@[ -x $(VPY) ] || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip -c $(CONSTRAINTS)
	$(VPY) -m pip install -q -r requirements-dev.txt -c $(CONSTRAINTS)
	@touch $@

deps: $(VENV)/.apt-done $(VENV)/.pip-done

# The Core's TLS and HTTP stack.  `own` (the default): BoringSSL and
# libcurl built from the package registries by scripts/tls-stack/build.sh
# and linked statically into libhalyard.so; built once per machine into
# $(TLS_CACHE) (see README.md for what that costs), reused from there by
# every build tree.  `system`: Debian's libcurl and OpenSSL.
TLS_STACK   ?= own
TLS_CACHE   ?= $(HOME)/.cache/vesper-build
TLS_STACK_BUILD = VESPER_BUILD_CACHE=$(TLS_CACHE) PYTHON=$(CURDIR)/$(VPY) CMAKE=$(CURDIR)/$(CMAKE) \
	  NINJA=$(CURDIR)/$(VENV)/bin/ninja JOBS=$(JOBS) sh $(CURDIR)/scripts/tls-stack/build.sh
# The folder of the built stack as a CMake option (a failed build names a
# folder that does not exist, which stops CMake).
tls_option = $(if $(filter own,$(TLS_STACK)),-DVESPER_TLS_PREFIX=$$($(TLS_STACK_BUILD) || echo /tls-stack-build-failed),-DVESPER_TLS_PREFIX=)

# $(call configure,DIR,CMAKE OPTIONS): a Ninja build tree in DIR.
configure = $(CMAKE) -S . -B $(1) -G Ninja -DVESPER_WERROR=ON -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VPY) $(tls_option) $(2) >/dev/null

# The TLS stack alone (also built by the first configure that needs it).
tls-stack: deps
	@$(if $(filter own,$(TLS_STACK)),$(TLS_STACK_BUILD),echo "TLS_STACK=$(TLS_STACK): the system's libcurl and OpenSSL")

# What the package needs, built in place: the module and the Core land in
# python/, beside the vesper package, so PYTHONPATH=python imports them.
native: deps
	$(call configure,$(BUILD))
	$(CMAKE) --build $(BUILD) -j $(JOBS) --target vesper_native36 halyard
	$(INSTALL_SO) python $(BUILD)/src/vesper_native36.abi3.so $(BUILD)/core/libhalyard.so

# Also the Core double and the C++ tests.
build: native
	$(CMAKE) --build $(BUILD) -j $(JOBS)

# The C++ live tests share one server set per run (a CTest fixture); in CI
# (CI=true) a live test that cannot reach its servers fails.
test-core: build
	cd $(BUILD) && ../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

# Twice: against the double with the Core's extensions, then against the
# one that offers only the seventeen functions every Core offers (the tests
# of a feature built on an extension skip there, naming it).
test-module: build
	$(MODULE_ENV) $(PYTEST) $(XDIST) tests/module
	$(MODULE_ENV17) $(PYTEST) $(XDIST) tests/module

test-live: build
	PYTHONPATH=$(CURDIR)/python $(PYTEST) $(XDIST) tests/live
	PYTHONPATH=$(CURDIR)/python $(PYTEST) tests/bench

# The wheel a user installs: built by pip (abi3), then repaired by
# auditwheel, which copies the C libraries the Core links (libcurl, OpenSSL,
# wslay, nghttp2 and theirs) into the wheel under a manylinux tag that
# Debian 12's glibc (2.36) satisfies.
WHEEL_PLAT ?= manylinux_2_35_x86_64
DIST       ?= $(CURDIR)/dist
wheel: deps
	rm -rf $(DIST)/raw && mkdir -p $(DIST)
	$(VPY) -m pip wheel . --no-deps --no-build-isolation -q -w $(DIST)/raw \
	  -C cmake.define.VESPER_TLS_PREFIX=$(if $(filter own,$(TLS_STACK)),$$($(TLS_STACK_BUILD) || echo /tls-stack-build-failed),)
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLAT) -w $(DIST) $(DIST)/raw/*.whl
	rm -rf $(DIST)/raw

# The stub of the native module against the module and the real Core; then
# the package's own behaviour against the Core double (arguments, headers,
# history, error classes, encodings, multipart, WebSocket wrappers).
test-package: build
	PYTHONPATH=$(CURDIR)/python $(PYTEST) $(XDIST) tests/package --ignore=tests/package/double \
	  --ignore=tests/package/test_wheel.py
	$(MODULE_ENV) $(PYTEST) $(XDIST) tests/package/double

# The repaired wheel installed into a fresh virtual environment.  Apart from
# make test (which runs it with the wheel its instrumented lane built):
# building the wheel from scratch takes one to several minutes.  The wheel
# is built into WHEEL_DIST first, unless WHEEL_READY says this run has just
# built it there.
WHEEL_DIST := $(CURDIR)/build-wheel/dist
test-wheel: build
	$(if $(WHEEL_READY),,$(MAKE) --no-print-directory wheel DIST=$(WHEEL_DIST))
	VESPER_WHEEL_DIST=$(WHEEL_DIST) PYTHONPATH=$(CURDIR)/python $(PYTEST) tests/package/test_wheel.py

# mypy --strict over the package and the module's stub (settings in pyproject.toml).
typecheck: deps
	$(VPY) -m mypy

# The user guide (docs/, mkdocs.yml) into build/site, in strict mode: a
# broken link or an API reference that names nothing fails.  The package's
# tests (tests/package/test_docs.py) build it too and screenshot its first
# page with headless Chromium.
docs: deps
	NO_MKDOCS_2_WARNING=1 PYTHONPATH=$(CURDIR)/python $(VPY) -m mkdocs build --strict -q

# The command line as a subprocess against local servers, one test in tmux.
test-cli: build
	PYTHONPATH=$(CURDIR)/python $(PYTEST) $(XDIST) tests/cli

# Everything, in two lanes: the normal build's tests run while the
# instrumented builds (sanitizers, ThreadSanitizer, fuzzing, the wheel's
# Release build) compile beside them, since those tests mostly wait on
# sockets and timers; then the tests of the instrumented builds (tail-lanes).
# The compilers' output goes to $(BUILD)/instrumented-builds.log (its end is
# shown if a build fails).  The background lane ignores SIGINT (a shell
# without job control starts it so): an interrupt stops it by its id.
NORMAL_TESTS := test-core test-module test-live test-package test-cli typecheck docs
test: deps
	@$(TIMED) build $(MAKE) --no-print-directory build
	@$(MAKE) --no-print-directory instrumented-builds >$(BUILD)/instrumented-builds.log 2>&1 & builder=$$!; \
	trap 'kill $$builder 2>/dev/null; exit 130' INT TERM HUP; \
	status=0; for t in $(NORMAL_TESTS); do \
	  $(TIMED) $$t $(MAKE) --no-print-directory $$t || { status=1; break; }; \
	done; \
	if ! wait $$builder; then tail -60 $(BUILD)/instrumented-builds.log; status=1; fi; \
	[ $$status = 0 ] || exit $$status; \
	$(MAKE) --no-print-directory tail-lanes WHEEL_READY=1

# The instrumented builds' tests: ThreadSanitizer's alone (the C++ shards
# keep both cores busy; beside other tests, the module's interrupt tests
# under it outran their 20 s bounds), then two lanes, as the rest mostly
# waits on sockets and timers: AddressSanitizer (module, then live) beside
# TAIL_EXTRA (the wheel test, then fuzzing at a low priority).  The
# second lane's output goes to $(BUILD)/tail-lane.log, shown when it ends.
TAIL_EXTRA ?= test-wheel fuzz
tail-lanes:
	@$(TIMED) tsan-core $(MAKE) --no-print-directory tsan-core
	@$(TIMED) tsan-module $(MAKE) --no-print-directory tsan-module
	@{ for t in $(TAIL_EXTRA); do \
	    $(TIMED) $$t $(MAKE) --no-print-directory $$t || exit 1; \
	  done; } >$(BUILD)/tail-lane.log 2>&1 & lane=$$!; \
	trap 'kill $$lane 2>/dev/null; exit 130' INT TERM HUP; \
	status=0; $(TIMED) sanitize $(MAKE) --no-print-directory sanitize || status=1; \
	wait $$lane || status=1; \
	echo "--- $(BUILD)/tail-lane.log:"; cat $(BUILD)/tail-lane.log; exit $$status

instrumented-builds: deps
	@for t in sanitize-build tsan-build fuzz-build; do \
	  $(TIMED) $$t $(MAKE) --no-print-directory $$t || exit 1; \
	done
	@$(TIMED) wheel $(MAKE) --no-print-directory wheel DIST=$(WHEEL_DIST)

ASAN_ENV := LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The module, the double and the real Core with AddressSanitizer and UBSan;
# the interpreter is not instrumented, so the runtime is preloaded and leak
# detection is off (the interpreter's own allocations would drown it).
sanitize-build: deps
	$(call configure,$(ASAN_BUILD),-DVESPER_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DVESPER_MODULE_CORE=halyard)
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS) --target vesper_native36 halyard halyard_double core_tests
	mkdir -p $(ASAN_BUILD)/python
	$(INSTALL_SO) $(ASAN_BUILD)/python $(ASAN_BUILD)/src/vesper_native36.abi3.so $(ASAN_BUILD)/core/libhalyard.so

# The Core's own C++ tests, the live ones included (requests, WebSocket,
# redirects, uploads, the cache and HTTP/3), with LeakSanitizer on: the Core
# has no interpreter around it, so every test process must end with nothing
# leaked.  tests/core/lsan.supp names the only allocations let go, each a
# third-party library's one-time initialisation.
LSAN_ENV := ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/core/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
lsan-core: sanitize-build
	cd $(ASAN_BUILD) && $(LSAN_ENV) ../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

# The Core's C++ tests with LeakSanitizer, then the module against the
# double, then the live tests against the real Core (but the test harness's
# own process cleanup, which is bash, ps and ctest and neither the module
# nor the Core: under the preloaded runtime every process it starts is slow
# to start).
sanitize: lsan-core
	$(ASAN_ENV) PYTHONPATH=$(CURDIR)/$(ASAN_BUILD)/python:$(CURDIR)/python \
	  VESPER_DOUBLE=$(CURDIR)/$(ASAN_BUILD)/double/libhalyard.so $(PYTEST) $(XDIST) tests/module -x
	$(ASAN_ENV) PYTHONPATH=$(CURDIR)/$(ASAN_BUILD)/python:$(CURDIR)/python $(PYTEST) $(XDIST) tests/live -x \
	  --ignore=tests/live/test_server_cleanup.py

# ThreadSanitizer: the Core's C++ tests (engine thread, command queue,
# upload back-pressure), in two shards at once; then the module against the
# double, the interpreter uninstrumented (its runtime preloaded).
TSAN_OPTS := halt_on_error=1:second_deadlock_stack=1
tsan-build: deps
	$(call configure,$(TSAN_BUILD),-DVESPER_TSAN=ON)
	$(CMAKE) --build $(TSAN_BUILD) -j $(JOBS) --target core_tests vesper_native36 halyard_double
	mkdir -p $(TSAN_BUILD)/python && $(INSTALL_SO) $(TSAN_BUILD)/python $(TSAN_BUILD)/src/vesper_native36.abi3.so

tsan: tsan-core tsan-module

tsan-core: tsan-build
	@pids=""; for i in 0 1; do \
	  TSAN_OPTIONS=$(TSAN_OPTS) GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$$i \
	    $(TSAN_BUILD)/tests/core/core_tests >$(TSAN_BUILD)/core_tests.$$i.log 2>&1 & pids="$$pids $$!"; \
	done; status=0; i=0; for pid in $$pids; do \
	  if wait $$pid; then tail -3 $(TSAN_BUILD)/core_tests.$$i.log; \
	  else status=1; echo "core_tests shard $$i failed:"; tail -150 $(TSAN_BUILD)/core_tests.$$i.log; fi; \
	  i=$$((i + 1)); \
	done; exit $$status

tsan-module: tsan-build
	LD_PRELOAD="$$(gcc -print-file-name=libtsan.so)" \
	  TSAN_OPTIONS=$(TSAN_OPTS):suppressions=$(CURDIR)/tests/module/tsan.supp \
	  PYTHONPATH=$(CURDIR)/$(TSAN_BUILD)/python:$(CURDIR)/python \
	  VESPER_DOUBLE=$(CURDIR)/$(TSAN_BUILD)/double/libhalyard.so $(PYTEST) $(XDIST) tests/module -x

# libFuzzer targets (clang) for the Core's validators and head assembly,
# each run for FUZZ_SECONDS from its seed corpus in tests/fuzz/<target>/corpus;
# new inputs go to $(FUZZ_BUILD)/corpus, crashes to $(FUZZ_BUILD)/crash-*.
# The targets fuzz at the same time, each for FUZZ_SECONDS, at a lower
# priority: in make test they share the cores with AddressSanitizer's tests,
# whose timers must not starve.
fuzz-build: deps
	CC=clang-14 CXX=clang++-14 $(call configure,$(FUZZ_BUILD),-DVESPER_FUZZ=ON -DVESPER_TESTS=OFF)
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)

fuzz: fuzz-build
	@pids=""; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t && \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s" && \
	  { nice -n 10 $(FUZZ_BUILD)/tests/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	    -artifact_prefix=$(FUZZ_BUILD)/ -print_final_stats=1 $(FUZZ_BUILD)/corpus/$$t tests/fuzz/$$t/corpus \
	    2>$(FUZZ_BUILD)/$$t.log & } ; pids="$$pids $$!"; \
	done; status=0; set -- $(FUZZ_TARGETS); for pid in $$pids; do \
	  if wait $$pid; then echo "$$1:"; grep -E "stat::number_of_executed_units|stat::new_units_added" $(FUZZ_BUILD)/$$1.log; \
	  else status=1; echo "$$1 failed:"; tail -40 $(FUZZ_BUILD)/$$1.log; fi; \
	  shift; \
	done; exit $$status

demo: native
	PYTHONPATH=$(CURDIR)/python $(VPY) examples/demo.py

# The module's benchmarks (double and live), then the peer run against
# local servers (PEERS_ARGS=--quick for a short one, --pin 0 to pin).
PEERS_ARGS ?=
bench: build
	PYTHONPATH=$(CURDIR)/python VESPER_DOUBLE=$(CURDIR)/$(BUILD)/double/libhalyard.so $(VPY) bench/run.py
	PYTHONPATH=$(CURDIR)/python $(VPY) bench/peers.py $(PEERS_ARGS)

# Long runs, not part of test: RSS, threads and descriptors at every tenth
# of 150,000 sequential GETs, 20,000 asyncio GETs (64 in flight), 10,000
# WebSocket cycles, 200,000 WebSocket messages on one connection (sync, then
# asyncio; 64 KiB binary and text), 2,000 engines dropped with requests in flight, 30,000
# GETs while the libraries are installed over the running process and
# 20,000 GETs whose loop object makes a blocking call on the engine's
# network thread; prints each one's RSS slope per 10,000 operations beside
# its bound, and fails when memory is not flat (spread and slope after
# warm-up) or threads/descriptors stay behind.  SOAK_SCALE=0.1 for a short
# run, SOAK_ONLY=name,name for some of them.
soak: build
	PYTHONPATH=$(CURDIR)/python $(VPY) bench/soak.py

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) build-wheel dist python/vesper_native36.abi3.so python/libhalyard.so
