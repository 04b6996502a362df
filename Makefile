# Wraps the CMake build. `make run` and `make test` are all a new machine needs.

BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
APP        := $(BUILD)/rfswitch-panel
# What `make run` builds: the program and the window program it starts.
PANEL_TARGETS := rfswitch-panel rfswitch-panel-ui
BENCH_TARGETS := panel-bench switch-bench remote-bench web-bench vxi11-bench hislip-bench settle-bench boards-bench

# Debian packages that building and running the panel need (rpcgen and
# libtirpc for VXI-11, the Avahi client library for DNS-SD, OpenSSL for
# TLS).
PACKAGES := cmake make g++ qt6-base-dev qt6-svg-dev fonts-liberation2 \
            rpcsvc-proto libtirpc-dev libavahi-client-dev libssl-dev
# What the tests need besides: the package checks (lintian among them, groff
# to read the man page as `man` shows it, and systemd's tools for the
# service), the QEMU parallel-port test (about 80 MB
# without recommends) and the service's system test (debootstrap for its
# Debian root, mke2fs for its disk), clang for the fuzzers, a VISA client for the
# remote-control test, lxi-tools with the daemons the VXI-11 and discovery
# tests start in a network namespace (avahi-browse to read the TXT records),
# and curl and a browser for the web page's; promtool to check /metrics
# (Debian's prometheus, its daemon unused: about 320 MB on disk with what it
# pulls in, 210 MB of that a time zone library for its pages); PyMeasure for
# the instrument class the package ships (about 340 MB on disk with SciPy,
# pandas and PyQt).
TEST_PACKAGES := dpkg-dev file desktop-file-utils appstream lintian groff-base systemd init-system-helpers \
                 qemu-system-x86 busybox-static cpio debootstrap e2fsprogs xz-utils \
                 clang libclang-rt-dev \
                 python3-pyvisa python3-pyvisa-py \
                 lxi-tools rpcbind avahi-daemon avahi-utils dbus-daemon iproute2 \
                 curl chromium tshark openssl prometheus python3-pymeasure
# What `make bench` needs besides: liblxi, the VXI-11 client test engineers use.
BENCH_PACKAGES := liblxi-dev
# MinGW-w64 and Wine for the Windows port test (about 220 MB to fetch, 1.3 GB
# on disk). Optional: where they do not install, that test is skipped.
WINDOWS_PACKAGES := g++-mingw-w64-x86-64 wine wine64

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# Where long steps (package installs, downloads) keep their output: named
# when one fails.
LOGS := $(BUILD)/logs

# $(call install-missing,PACKAGES,WHAT): installs those not yet installed,
# quietly when all are there; else one line saying which, for what, and how
# much is fetched.
define install-missing
missing=$$(for p in $(1); do \
    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
missing=$$(echo $$missing); \
if [ -n "$$missing" ]; then \
    mkdir -p $(LOGS); log=$(LOGS)/apt-install.log; \
    $(SUDO) apt-get update -q >$$log 2>&1 || { echo "apt-get update failed; see $$log"; exit 1; }; \
    size=$$(apt-get install --print-uris -qq --no-install-recommends $$missing 2>/dev/null | \
            awk '/^\x27/ { s += $$3; n++ } END { printf "%d packages, %.1f MB", n, s / 1048576 }'); \
    printf '%s\n' "Installing $(2): $$missing ($$size to fetch); output in $$log"; \
    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        -o DPkg::Lock::Timeout=300 $$missing >>$$log 2>&1 || { echo "Installing failed; see $$log"; exit 1; }; \
fi
endef

.PHONY: all deps test-deps bench-deps windows-deps configure build run test bench clean

all: build

deps:
	@$(call install-missing,$(PACKAGES),what building needs)

test-deps: deps
	@$(call install-missing,$(TEST_PACKAGES),what the tests need)

bench-deps: deps
	@$(call install-missing,$(BENCH_PACKAGES),what the benchmarks need)

windows-deps:
	@{ $(call install-missing,$(WINDOWS_PACKAGES),the Windows port test's cross compiler and Wine); } || \
	    echo "Windows test tools not installed: the Windows port test will be skipped"

# One configuration for `make run`, `make build` and `make test`, so that
# each file is compiled once: a compiler warning fails the build everywhere,
# as CI wants it (an older tree configured without is configured anew).
configure: deps
	@grep -qs '^CMAKE_COMPILE_WARNING_AS_ERROR:BOOL=ON' $(BUILD)/CMakeCache.txt || \
	    cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_COMPILE_WARNING_AS_ERROR=ON

# The programs and what the package installs (icons, man page); no tests.
build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Without a display the panel cannot open its window: say so before building.
run:
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ] && [ -z "$$QT_QPA_PLATFORM" ]; then \
	    echo "make run: no display here (neither DISPLAY nor WAYLAND_DISPLAY is set), so the panel would not be seen. To see it:"; \
	    echo "  - run make run in a terminal of a desktop session;"; \
	    echo "  - or from a desktop elsewhere: ssh -X $$(hostname), then make run there;"; \
	    echo "  - or take a picture of it on a virtual display (packages xvfb and imagemagick): make build, then"; \
	    echo "    xvfb-run -a sh -c '$(APP) --simulate & sleep 3; import -window root panel.png; kill \$$!'"; \
	    echo "Without a window: $(APP) --query, --select rf1, or --headless --http 8080 for the web page."; \
	    exit 1; \
	fi
	@$(MAKE) --no-print-directory configure
	cmake --build $(BUILD) -j $(JOBS) --target $(PANEL_TARGETS)
	$(APP)

# CI runs this. It builds on what `make run` built.
test: configure test-deps windows-deps kernel system-root node-modules
	cmake --build $(BUILD) -j $(JOBS) --target all test-programs
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The page benchmark drives Chromium; where it or puppeteer-core is missing
# it says so and is skipped (77).
bench: bench-deps configure node-modules
	cmake -S . -B $(BUILD) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target $(BENCH_TARGETS)
	QT_QPA_PLATFORM=offscreen $(BUILD)/bench/panel-bench
	$(BUILD)/bench/switch-bench
	$(BUILD)/bench/remote-bench
	$(BUILD)/bench/vxi11-bench
	$(BUILD)/bench/hislip-bench
	$(BUILD)/bench/web-bench
	$(BUILD)/bench/settle-bench
	$(BUILD)/bench/boards-bench
	node bench/web_page_bench.mjs $(BUILD)/node $(APP) || [ $$? = 77 ]
	python3 tests/hostile/suite.py --bench $(APP) | grep '^BENCH' || [ $$? = 77 ]
	@$(MAKE) --no-print-directory old-panel
	python3 bench/startup_bench.py $(APP) $(OLD_PANEL)/build/rfswitch-panel || [ $$? = 77 ]
	@echo "rfswitch-panel service system test (its last passing run in make test)"
	@cat $(BUILD)/tests/system/run.duration 2>/dev/null || echo "  not run yet: make test runs it"

# The panel as it was at OLD_PANEL_COMMIT, when its start-up stood at Qt's
# floor, built beside this one once, for the start-up benchmark to measure
# both in one run.
OLD_PANEL_COMMIT := 71321f9
OLD_PANEL := $(BUILD)/bench-panel-$(OLD_PANEL_COMMIT)

.PHONY: old-panel
old-panel:
	@[ -x $(OLD_PANEL)/build/rfswitch-panel ] || { \
	    mkdir -p $(LOGS); log=$(abspath $(LOGS))/old-panel.log; \
	    echo "Building the panel of $(OLD_PANEL_COMMIT) in $(OLD_PANEL) for the start-up benchmark; output in $$log"; \
	    rm -rf $(OLD_PANEL) && mkdir -p $(OLD_PANEL) && git archive $(OLD_PANEL_COMMIT) | tar -x -C $(OLD_PANEL) && \
	    cmake -S $(OLD_PANEL) -B $(OLD_PANEL)/build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >$$log 2>&1 && \
	    cmake --build $(OLD_PANEL)/build -j $(JOBS) --target rfswitch-panel >>$$log 2>&1; }

# puppeteer-core from the npm registry, for driving Chromium in the web
# page's test and benchmark: into the build tree, once. Where it cannot be
# fetched they are skipped.
NODE_DIR := $(BUILD)/node
.PHONY: node-modules
node-modules:
	@[ -d $(NODE_DIR)/node_modules/puppeteer-core ] || { \
	    mkdir -p $(LOGS); log=$(LOGS)/npm-install.log; \
	    printf 'Fetching puppeteer-core 24 from the npm registry into $(NODE_DIR); output in %s ... ' $$log; \
	    if npm install --prefix $(NODE_DIR) --no-audit --no-fund puppeteer-core@24 >$$log 2>&1; then \
	        echo "done, $$(du -sh $(NODE_DIR)/node_modules | cut -f1)"; \
	    else \
	        echo "failed: the browser test and the page benchmark will be skipped"; \
	    fi; }

clean:
	rm -rf $(BUILD)

# docs/panel.png drawn anew from the window (offscreen): after any change to it.
.PHONY: docs
docs: configure
	cmake --build $(BUILD) -j $(JOBS) --target docs

# The Debian package, in $(BUILD)/; its test (part of `make test`) checks it.
.PHONY: package
package: build
	cmake --build $(BUILD) --target package

# Debian's kernel for the QEMU parallel-port test (about 70 MB to fetch),
# unpacked into the build tree once. Where it cannot be fetched, `make test`
# reports that test as skipped.
KERNEL_DIR := $(BUILD)/kernel
KERNEL_PACKAGE = apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $$2; exit}'

.PHONY: kernel
kernel:
	@if ! ls $(KERNEL_DIR)/boot/vmlinuz-* >/dev/null 2>&1; then \
	    pkg=$$($(KERNEL_PACKAGE)); \
	    [ -n "$$pkg" ] || { $(SUDO) apt-get update -qq; pkg=$$($(KERNEL_PACKAGE)); }; \
	    mkdir -p $(LOGS); log=$(abspath $(LOGS))/kernel.log; \
	    size=$$(apt-cache show --no-all-versions $$pkg 2>/dev/null | awk '/^Size:/ { printf "%.0f MB", $$2 / 1048576 }'); \
	    echo "Fetching $$pkg ($$size) into $(KERNEL_DIR); output in $$log"; \
	    rm -rf $(KERNEL_DIR).part && mkdir -p $(KERNEL_DIR).part && \
	    { [ -n "$$pkg" ] && \
	      (cd $(KERNEL_DIR).part && apt-get download -o APT::Sandbox::User=root $$pkg >$$log 2>&1) && \
	      dpkg -x $(KERNEL_DIR).part/*.deb $(KERNEL_DIR).part/root && \
	      rm -rf $(KERNEL_DIR) && mv $(KERNEL_DIR).part/root $(KERNEL_DIR); } || \
	    echo "Kernel not fetched (see $$log): the QEMU parallel-port test will be skipped"; \
	    rm -rf $(KERNEL_DIR).part; \
	fi

# The Debian 12 root file system the service's system test boots (with
# Debian's kernel above): made by debootstrap into the build tree once, about
# 120 MB to fetch; the test adds the package's dependencies to it as needed.
# Needs root; where it cannot be made, `make test` reports that test skipped.
SYSTEM_ROOT := $(BUILD)/system/root

.PHONY: system-root
system-root:
	@[ -x $(SYSTEM_ROOT)/sbin/init ] || { \
	    mkdir -p $(dir $(SYSTEM_ROOT)) && sh tests/system/make-root.sh $(SYSTEM_ROOT) || \
	    echo "No Debian 12 root file system: the service's system test will be skipped"; }

# The address conversion, the SCPI command layer and HiSLIP's reader and lock
# queue under libFuzzer, ASan and UBSan for FUZZ_SECONDS each, built with
# clang in $(BUILD)/fuzz, $(BUILD)/fuzz-scpi and $(BUILD)/fuzz-hislip.
# `make test` runs each for 20 s.
FUZZ_SECONDS ?= 300

.PHONY: fuzz
fuzz: test-deps
	sh tests/fuzz/run-fuzz.sh $(BUILD)/fuzz $(FUZZ_SECONDS)
	sh tests/fuzz/run-fuzz.sh $(BUILD)/fuzz-scpi $(FUZZ_SECONDS) scpi
	sh tests/fuzz/run-fuzz.sh $(BUILD)/fuzz-hislip $(FUZZ_SECONDS) hislip

# Every Qt Test program built with AddressSanitizer and UndefinedBehaviorSanitizer
# (any undefined behaviour fails its test) and run with leak detection; leaks
# inside third-party libraries are suppressed by tests/sanitize/lsan.supp.
# Not run here: the Windows test (MinGW under Wine), the QEMU test (a static
# probe in a virtual machine), the package test (checks the normal build) and
# the fuzzer (sanitized already, under clang).
SANITIZE_BUILD ?= build-sanitize
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
TEST_PROGRAMS   = $(basename $(notdir $(wildcard tests/tst_*.cpp tests/remote/tst_*.cpp tests/web/tst_*.cpp tests/vxi11/tst_*.cpp tests/hislip/tst_*.cpp)))

.PHONY: test-sanitize
test-sanitize: test-deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)"
	cmake --build $(SANITIZE_BUILD) -j $(JOBS) --target $(TEST_PROGRAMS)
	cd $(SANITIZE_BUILD) && QT_QPA_PLATFORM=offscreen \
	    ASAN_OPTIONS=detect_leaks=1:strict_init_order=1:detect_stack_use_after_return=1 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitize/lsan.supp:print_suppressions=0 \
	    UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --output-on-failure -j $(JOBS) -R '^tst_'
