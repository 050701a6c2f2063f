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

# BEGIN hardening
.PHONY: fuzz fuzz-build fuzz-smoke test-libcxx
# libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer (clang). `make fuzz` runs each
# target FUZZ_SECONDS seconds, keeping what it learns in build-fuzz/corpus/; `make fuzz-smoke`
# gives each 20 s, a minute in all. A crash leaves its input in build-fuzz/artifacts/.
FUZZ_SECONDS ?= 600
FUZZ_TARGETS = consume_output ready_url info_plist

fuzz-build: deps
	CXX=clang++ CC=clang cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZP_SANITIZE=address,undefined -DZP_FUZZ=ON -DBUILD_TESTING=OFF -DZP_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target $(addprefix zp_fuzz_,$(FUZZ_TARGETS))

define zp_fuzz_run
	@mkdir -p build-fuzz/corpus/$(1) build-fuzz/artifacts
	@echo "fuzz: $(1), $(2) s"
	@build-fuzz/fuzz/zp_fuzz_$(1) -max_total_time=$(2) -max_len=140000 -print_final_stats=1 \
	  -artifact_prefix=build-fuzz/artifacts/$(1)- build-fuzz/corpus/$(1) build-fuzz/fuzz/seeds/$(1) \
	  > build-fuzz/fuzz-$(1).log 2>&1 || { tail -n 60 build-fuzz/fuzz-$(1).log; exit 1; }
	@grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' build-fuzz/fuzz-$(1).log

endef

fuzz: fuzz-build
	$(foreach t,$(FUZZ_TARGETS),$(call zp_fuzz_run,$(t),$(FUZZ_SECONDS)))

fuzz-smoke: fuzz-build
	$(foreach t,$(FUZZ_TARGETS),$(call zp_fuzz_run,$(t),20))

# The launcher libraries and their unit and fault tests built with clang++ against libc++,
# GoogleTest compiled from /usr/src/googletest. Qt from Debian is built for libstdc++, so zp_qt,
# the executable and the tests that need either are not part of this build.
LIBCXX_TESTS = zp_launch_tests zp_process_tests zp_ready_url_tests zp_supervisor_tests zp_shell_tests \
  zp_single_instance_tests zp_fault_tests zp_fuzz_consume_output zp_fuzz_ready_url zp_fuzz_info_plist

test-libcxx: deps
	CXX=clang++ CC=clang cmake -S . -B build-libcxx -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ \
	  -DBUILD_TESTING=OFF -DZP_LIBCXX=ON -DZP_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build-libcxx -j $(JOBS) --target $(LIBCXX_TESTS)
	ctest --test-dir build-libcxx --output-on-failure -j $(JOBS) -E '_NOT_BUILT$$|UnderXvfb|ReferenceService'
# END hardening

# BEGIN bench
.PHONY: bench bench-smoke
# The benchmarks beside their references, built in Release in build-bench/: one table in the
# terminal, and build/bench/results.json. `make bench` is the full run (a few minutes, after
# waiting up to 10 minutes for an idle machine); `make bench-smoke` runs tiny sizes for CI and
# writes build/bench/results-smoke.json instead.
BENCH_FLAGS ?=
define zp_bench_build
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZP_BENCH=ON -DBUILD_TESTING=OFF \
	  -DZP_BUNDLE_MODE=preview -DZP_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS) --target zp_bench
endef

bench: deps
	$(zp_bench_build)
	/usr/bin/python3 bench/run_bench.py --build build-bench --out build/bench $(BENCH_FLAGS)

bench-smoke: deps
	$(zp_bench_build)
	/usr/bin/python3 bench/run_bench.py --build build-bench --out build/bench --smoke $(BENCH_FLAGS)
# END bench
