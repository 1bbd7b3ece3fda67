# Thin layer over CMake. `make demo` and `make test` are the two commands of
# the README; both install the Debian packages they need.
BUILD_DIR ?= build
WINDOWS_BUILD_DIR ?= build-windows
JOBS ?= $(shell nproc)

LINUX_PACKAGES := cmake ninja-build g++ libgtest-dev python3 python3-serial socat ser2net
WINDOWS_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64 mingw-w64-common googletest python3
WINE_PACKAGES := wine wine64 xvfb socat fonts-ipafont-gothic locales python3 python3-serial
# The real-driver tests boot a Debian kernel under QEMU (tests/vm; the
# kernel package is fetched there, not installed).
VM_PACKAGES := qemu-system-x86 busybox-static cpio xz-utils
# dpkg-shlibdeps works out the package's dependencies; systemd-analyze and
# lintian check the service units and the package in the tests.
DEB_PACKAGES := dpkg-dev systemd lintian
PREFIX ?= /usr/local

.PHONY: all linux windows test demo bench screenshots install deb windows-zip linux-packages windows-packages \
	wine-packages deb-packages vm-packages clean

all: linux windows

linux-packages:
	@scripts/ensure-packages.sh $(LINUX_PACKAGES)

windows-packages:
	@scripts/ensure-packages.sh $(WINDOWS_PACKAGES)

linux: linux-packages
	cmake -S . -B $(BUILD_DIR) -G Ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

wine-packages:
	@scripts/ensure-packages.sh $(WINE_PACKAGES)

deb-packages:
	@scripts/ensure-packages.sh $(DEB_PACKAGES)

vm-packages:
	@scripts/ensure-packages.sh $(VM_PACKAGES)

windows: windows-packages
	cmake -S . -B $(WINDOWS_BUILD_DIR) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
	cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS)

# The programs, manual pages, service units and samples under $(DESTDIR)$(PREFIX).
install: linux
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

deb: linux deb-packages
	cd $(BUILD_DIR) && cpack -G DEB

windows-zip: windows
	cd $(WINDOWS_BUILD_DIR) && cpack -G ZIP

test: linux windows-zip wine-packages deb-packages vm-packages
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)
	tests/wine/run-suite.sh $(WINDOWS_BUILD_DIR) $(BUILD_DIR)

screenshots: windows wine-packages
	@scripts/ensure-packages.sh imagemagick
	scripts/wine-screenshots.sh $(WINDOWS_BUILD_DIR)

demo: linux
	scripts/demo.sh $(BUILD_DIR)

# Not part of the tests: measures morvane beside socat and ser2net where
# they are installed (apt-get install socat ser2net); installs nothing.
bench: linux
	/usr/bin/python3 bench/bench.py --build $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(WINDOWS_BUILD_DIR)
