# Wraps the CMake build. `make run` and `make test` are all a new machine needs.

BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
APP        := $(BUILD)/rfswitch-panel

# Debian packages the build, the tests and the screenshots need.
PACKAGES := cmake make g++ qt6-base-dev qt6-svg-dev fonts-liberation2 \
            dpkg-dev file desktop-file-utils appstream
# The QEMU parallel-port test: about 80 MB installed without recommends.
PACKAGES += qemu-system-x86 busybox-static cpio

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build run test bench clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing missing packages:" $$missing; \
	    $(SUDO) apt-get update -qq && \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
	    echo "make run: no display here (DISPLAY is unset); run it in a desktop session, or try: QT_QPA_PLATFORM=offscreen $(APP)"; \
	    exit 1; \
	fi
	$(APP)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

bench: build
	QT_QPA_PLATFORM=offscreen $(BUILD)/bench/panel-bench

clean:
	rm -rf $(BUILD)

# MinGW-w64 and Wine for the Windows port test (about 220 MB to fetch, 1.3 GB
# on disk, under a minute to install). Optional: where they do not install,
# `make test` reports that test as skipped.
WINDOWS_PACKAGES := g++-mingw-w64-x86-64 wine wine64

.PHONY: windows-deps
test: windows-deps
windows-deps:
	@missing=$$(for p in $(WINDOWS_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing the Windows test tools:" $$missing; \
	    { $(SUDO) apt-get update -qq && \
	      $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
	          -o DPkg::Lock::Timeout=300 $$missing >/dev/null; } || \
	    echo "Windows test tools not installed: the Windows port test will be skipped"; \
	fi

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
test: kernel
kernel:
	@if ! ls $(KERNEL_DIR)/boot/vmlinuz-* >/dev/null 2>&1; then \
	    pkg=$$($(KERNEL_PACKAGE)); \
	    [ -n "$$pkg" ] || { $(SUDO) apt-get update -qq; pkg=$$($(KERNEL_PACKAGE)); }; \
	    echo "Fetching $$pkg into $(KERNEL_DIR)"; \
	    rm -rf $(KERNEL_DIR).part && mkdir -p $(KERNEL_DIR).part && \
	    { [ -n "$$pkg" ] && \
	      (cd $(KERNEL_DIR).part && apt-get download -qq -o APT::Sandbox::User=root $$pkg) && \
	      dpkg -x $(KERNEL_DIR).part/*.deb $(KERNEL_DIR).part/root && \
	      rm -rf $(KERNEL_DIR) && mv $(KERNEL_DIR).part/root $(KERNEL_DIR); } || \
	    echo "Kernel not fetched: the QEMU parallel-port test will be skipped"; \
	    rm -rf $(KERNEL_DIR).part; \
	fi
