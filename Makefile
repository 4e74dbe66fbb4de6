# Convenience entry points. Each target does its own set-up from a fresh clone.
BUILD      ?= build
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
# Passed to every configure step, e.g. CMAKE_ARGS=-DSENTREL_WARNINGS_AS_ERRORS=ON.
CMAKE_ARGS ?=

DEB_PACKAGES = build-essential cmake pkg-config qt6-base-dev libqt6sql6-sqlite libgl-dev \
               qt6-declarative-dev qml6-module-qtquick qml6-module-qtquick-controls \
               qml6-module-qtquick-templates qml6-module-qtquick-window qml6-module-qtquick-layouts \
               qml6-module-qtqml-workerscript \
               zlib1g-dev libzstd-dev zstd openssl python3 python3-jsonschema \
               libbenchmark-dev libsqlite3-dev clang libclang-rt-14-dev linux-perf valgrind \
               doxygen clang-format-14

# The browser in which sentrel-collector's live page is tested.
DEB_PACKAGES += chromium
# The front server of the benchmark's drain over HTTP/1.1 and HTTP/2.
DEB_PACKAGES += nginx-light

.PHONY: all deps configure build test demo docs install bench tsan asan fuzz clang clean

all: build

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing:$$missing"; \
	    if [ "$$(id -u)" = 0 ]; then SUDO=""; else SUDO=sudo; fi; \
	    $$SUDO apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# Builds only what the demo runs (the library, sentrel-collector, sentrel-cache, the demo), not
# the tests.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target demo-programs
	./examples/run-demo $(BUILD)

# The API reference of the public headers in $(BUILD)/docs/html; a doxygen warning fails it.
docs: configure
	cmake --build $(BUILD) --target docs

# A build without the test-only exports, installed under PREFIX.
install: deps
	cmake -S . -B $(BUILD)-install -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX) \
	    -DSENTREL_BUILD_TESTS=OFF -DSENTREL_BUILD_EXAMPLES=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD)-install -j $(JOBS)
	cmake --install $(BUILD)-install --prefix $(PREFIX)

bench: deps
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DSENTREL_BUILD_BENCHMARKS=ON $(CMAKE_ARGS)
	cmake --build $(BUILD)-bench -j $(JOBS)
	cd $(BUILD)-bench && ctest -C Benchmark -L benchmark --output-on-failure -V

tsan: deps
	cmake -S . -B $(BUILD)-tsan -DCMAKE_BUILD_TYPE=Debug -DSENTREL_SANITIZE=thread \
	    -DSENTREL_BUILD_EXAMPLES=OFF -DSENTREL_BUILD_TOOLS=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD)-tsan -j $(JOBS)
	cd $(BUILD)-tsan && TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	    ctest --output-on-failure -j $(JOBS) -L threads

asan: deps
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug "-DSENTREL_SANITIZE=address;undefined" \
	    -DSENTREL_BUILD_EXAMPLES=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ASAN_OPTIONS="detect_leaks=0" UBSAN_OPTIONS="print_stacktrace=1" \
	    ctest --output-on-failure -j $(JOBS)

# The library and its QML module built with clang, warnings as errors: a second compiler's view
# of the code that ships.
clang: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DSENTREL_WARNINGS_AS_ERRORS=ON -DSENTREL_BUILD_TESTS=OFF -DSENTREL_BUILD_EXAMPLES=OFF \
	    -DSENTREL_BUILD_TOOLS=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD)-clang -j $(JOBS)

FUZZ_SECONDS ?= 60
FUZZ_TARGETS = config zlib zstd eventfilter jsonwriter

# Each target runs for FUZZ_SECONDS from the kept corpus; new inputs go to a scratch corpus in
# the build tree, crashes to $(BUILD)-fuzz/artifacts (keep them in tests/fuzz/corpus/NAME).
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSENTREL_FUZZ=ON \
	    "-DSENTREL_SANITIZE=address;undefined" -DSENTREL_BUILD_EXAMPLES=OFF -DSENTREL_BUILD_TOOLS=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD)-fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@mkdir -p $(BUILD)-fuzz/artifacts
	@for t in $(FUZZ_TARGETS); do \
	    mkdir -p $(BUILD)-fuzz/corpus/$$t; \
	    echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	    HOME=$(CURDIR)/$(BUILD)-fuzz/home QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0 \
	    $(BUILD)-fuzz/tests/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096 -timeout=30 \
	        -artifact_prefix=$(BUILD)-fuzz/artifacts/$$t- $(BUILD)-fuzz/corpus/$$t tests/fuzz/corpus/$$t || exit 1; \
	done

clean:
	rm -rf $(BUILD) $(BUILD)-install $(BUILD)-bench $(BUILD)-tsan $(BUILD)-asan $(BUILD)-fuzz $(BUILD)-clang
