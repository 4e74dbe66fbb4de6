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

# The ABI check's reader of the library's debug information.
DEB_PACKAGES += abigail-tools
# The browser in which sentrel-collector's live page is tested.
DEB_PACKAGES += chromium
# The front server of the benchmark's drain over HTTP/1.1 and HTTP/2.
DEB_PACKAGES += nginx-light

# The 32-bit builds' compilers and emulator, installed like DEB_PACKAGES. Debian's multilib g++
# cannot be installed beside its ARM cross compiler, so i386 has a cross compiler too.
I386_TOOLS  = g++-i686-linux-gnu qemu-user debian-archive-keyring
ARMHF_TOOLS = g++-arm-linux-gnueabihf qemu-user debian-archive-keyring
# The target's libraries, unpacked into the build's own sysroot and never installed.
CROSS_PACKAGES = libc6 qt6-base-dev libqt6sql6-sqlite libgl-dev libssl3 zlib1g-dev libzstd-dev libsqlite3-dev
I386_PACKAGES  = $(CROSS_PACKAGES) qt6-declarative-dev qml6-module-qtquick qml6-module-qtquick-controls \
                 qml6-module-qtquick-templates qml6-module-qtquick-window qml6-module-qtquick-layouts \
                 qml6-module-qtqml-workerscript
ARMHF_PACKAGES = $(CROSS_PACKAGES)
# The Windows compile check's compiler and zlib (Windows' own zconf.h), installed like DEB_PACKAGES.
WINDOWS_TOOLS = g++-mingw-w64-x86-64 libz-mingw-w64-dev
# The Windows suite's too: wine, ninja, tclsh, which makes SQLite's single source file, and
# fonts for the offscreen platform.
WINE_TOOLS = wine wine64 ninja-build tcl fonts-dejavu-core
# Where the Windows suite's Qt, zstd and SQLite are built once and kept: make clean leaves it.
WINDOWS_QT ?= $(BUILD)-windows-qt

# The consumer test builds and installs a second copy of the library with the host's compiler
# and pkg-config, so in a cross build it would only test the host again.
I386_LEFT_OUT = consumer
# Left out under qemu: demo: run-demo ends the demo with SIGTERM, and under qemu-i386 a Qt
# program that returns from a signal handler loses its thread-local storage and never quits
# (quick_demo ends by itself and runs).
QEMU_LEFT_OUT = demo
# Where this machine's kernel refuses 32-bit x86 programs the i386 suite runs under qemu-i386;
# SENTREL_I386_EMULATOR=qemu-i386 makes it do so anyway.
SENTREL_I386_EMULATOR ?=
# The storage and reporter tests, the ones that hold sizes, times and stored bytes.
ARMHF_TESTS = tst_storage storage_format tst_cache tst_reporter tst_payload payload_schemas \
              payload_schemas_reject tst_delivery tst_consent tst_remoteconfig
ARMHF_TARGETS = tst_storage storage_format_writer tst_cache sentrel-cache tst_reporter tst_payload \
                tst_delivery tst_consent tst_remoteconfig
empty :=
space := $(empty) $(empty)

.PHONY: all deps configure build test demo docs install abi-check abi-update bench tsan asan fuzz \
        clang clean test-i386 test-armhf cross-i386-suite cross-armhf-suite check-windows test-windows

all: build

deps:
	@tools/deb-install $(DEB_PACKAGES)

# $(call cross_prepare,ARCH,TOOLS,PACKAGES): the compilers and the sysroot. When the packages
# cannot be had at all it says so and stops the target without failing it.
define cross_prepare
	@rc=0; tools/deb-install $(2) && tools/debian-sysroot $(1) $(BUILD)-$(1)/sysroot $(3) || rc=$$?; \
	if [ $$rc = 3 ]; then \
	    echo "WARNING: the $(1) packages could not be obtained (see the cause above): the $(1) suite did not run"; \
	    mkdir -p $(BUILD)-$(1) && touch $(BUILD)-$(1)/unobtainable; \
	elif [ $$rc != 0 ]; then exit $$rc; \
	else rm -f $(BUILD)-$(1)/unobtainable; fi
endef

# $(call cross_configure,ARCH)
define cross_configure
	cmake -S . -B $(BUILD)-$(1)/build -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchains/$(1).cmake \
	    -DSENTREL_SYSROOT=$(CURDIR)/$(BUILD)-$(1)/sysroot/root -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DSENTREL_BUILD_BENCHMARKS=OFF $(CMAKE_ARGS)
endef

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

# What the default build installs, checked against abi/ (tools/abi-check): the symbols the
# library exports and its ABI. It fails when either changed incompatibly or when something other
# than public API became exported; abi-update records the installed library there instead, in
# the commit that changes the public API on purpose.
abi-check abi-update: build
	@prefix=$$(mktemp -d) && trap 'rm -rf "$$prefix"' EXIT && \
	    cmake --install $(BUILD) --prefix "$$prefix" > "$$prefix/install.log" && \
	    tools/abi-check $(if $(filter abi-update,$@),--update) "$$prefix"

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

# Every C++ source of the library, its QML module, the tools, the tests, the examples and the
# benchmarks compiled for Windows with MinGW (-fsyntax-only, warnings as errors) against the
# host's Qt headers: it compiles, it neither links nor runs. See tools/check-windows.
check-windows: deps
	@tools/deb-install $(WINDOWS_TOOLS)
	JOBS=$(JOBS) tools/check-windows $(BUILD)-windows

# The library, the tools, the examples and the suite built for 64-bit Windows with MinGW against
# a Qt built from Debian's source package into WINDOWS_QT (once, about an hour on 2 cores), and
# the suite run under wine. Not in CI. See tools/test-windows.
test-windows: deps
	@tools/deb-install $(WINDOWS_TOOLS) $(WINE_TOOLS)
	JOBS=$(JOBS) CTEST_ARGS="$(CTEST_ARGS)" tools/test-windows $(BUILD)-windows-suite $(WINDOWS_QT)

# The library, its QML module, the tools, the examples and the whole suite built for 32-bit
# x86 against an i386 sysroot of the build's own, run natively where the kernel executes such
# programs and under qemu-i386 where it does not.
test-i386: deps
	$(call cross_prepare,i386,$(I386_TOOLS),$(I386_PACKAGES))
	@[ -e $(BUILD)-i386/unobtainable ] || { \
	    emulator=$$(tools/i386-runner $(BUILD)-i386 $(SENTREL_I386_EMULATOR)) && \
	    $(MAKE) --no-print-directory cross-i386-suite I386_EMULATOR="$$emulator"; }

cross-i386-suite:
	$(call cross_configure,i386) -DSENTREL_I386_EMULATOR=$(I386_EMULATOR)
	cmake --build $(BUILD)-i386/build -j $(JOBS)
	cd $(BUILD)-i386/build && ctest --output-on-failure -j $(JOBS) \
	    -E '^($(subst $(space),|,$(strip $(I386_LEFT_OUT) $(if $(I386_EMULATOR),$(QEMU_LEFT_OUT)))))$$' \
	    $(CTEST_ARGS)

# The storage and reporter tests cross-built for 32-bit ARM and run under qemu-user.
test-armhf: deps
	$(call cross_prepare,armhf,$(ARMHF_TOOLS),$(ARMHF_PACKAGES))
	@[ -e $(BUILD)-armhf/unobtainable ] || $(MAKE) --no-print-directory cross-armhf-suite

cross-armhf-suite:
	$(call cross_configure,armhf)
	cmake --build $(BUILD)-armhf/build -j $(JOBS) --target $(ARMHF_TARGETS)
	cd $(BUILD)-armhf/build && ctest --output-on-failure -j $(JOBS) \
	    -R '^($(subst $(space),|,$(strip $(ARMHF_TESTS))))$$' $(CTEST_ARGS)

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
	rm -rf $(BUILD) $(BUILD)-install $(BUILD)-bench $(BUILD)-tsan $(BUILD)-asan $(BUILD)-fuzz $(BUILD)-clang \
	    $(BUILD)-i386 $(BUILD)-armhf $(BUILD)-windows $(BUILD)-windows-suite
