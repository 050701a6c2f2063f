# The two commands of the README: `make demo` and `make test`. Both install what they need.
MODE  ?= preview
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build package demo demo-headless screenshots test test-fast test-sanitize test-thread clean

all: build

deps:
	@tools/install-deps

build: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZP_BUNDLE_MODE=$(MODE) -DZP_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

# The bundle with its reference service; without a display, the headless demo.
demo: build
	tools/demo --build build

demo-headless: build
	tools/demo --headless --build build

# PNGs of every state a person can see, under Xvfb with a fake service, in build/screenshots/.
screenshots: build
	tools/screenshot --build build

# g++ build, then the whole suite again built with clang++ under AddressSanitizer with
# UndefinedBehaviorSanitizer and under ThreadSanitizer, so both compilers stay warning-free.
test: test-fast test-sanitize test-thread

test-fast: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-sanitize: deps
	CXX=clang++ CC=clang cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DZP_SANITIZE=address,undefined -DZP_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-thread: deps
	CXX=clang++ CC=clang cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DZP_SANITIZE=thread -DZP_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=suppressions=$(CURDIR)/tests/tsan.supp ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

# The Debian package of the bundle in the mode of MODE, in build-package/.
package: deps
	cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	  -DBUILD_TESTING=OFF -DZP_BUNDLE_MODE=$(MODE) -DZP_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build-package -j $(JOBS)
	cd build-package && cpack -G DEB

clean:
	rm -rf build build-asan build-tsan build-package
