# tessarc: `make test` is what CI runs; `make demo` shows the daemon against a simulated gateway.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# A compiler cache, when the machine has one, makes rebuilds of several work trees cheap.
CCACHE := $(shell command -v ccache 2>/dev/null)
ifneq ($(CCACHE),)
CMAKE_FLAGS += -DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE)
endif

.PHONY: all deps build test unit asan fuzz bench demo format clean install package

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS)

# Plain suite, then the same suite under AddressSanitizer + UndefinedBehaviorSanitizer,
# then a short bounded run of every fuzz target when clang is there.
test: unit asan fuzz

unit: build
	cd build && ctest --output-on-failure -j$(JOBS) --timeout 300

asan: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTESSARC_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		ctest --output-on-failure -j$(JOBS) --timeout 600

fuzz: deps
	@if command -v clang++ >/dev/null 2>&1; then \
		cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
			-DCMAKE_CXX_COMPILER=clang++ -DTESSARC_FUZZ=ON >/dev/null && \
		cmake --build build-fuzz -j$(JOBS) --target fuzzers && \
		scripts/run-fuzzers.sh build-fuzz/bin $${FUZZ_SECONDS:-10}; \
	else echo "clang++ not found: fuzzing skipped"; fi

bench: build
	@for b in build/bin/bench_*; do [ -x "$$b" ] && $$b || exit 1; done

demo: build
	@scripts/demo.sh

install: build
	cmake --install build

# tessarc_<version>_<arch>.deb (daemon, delsctl) and tessarc-tools_<version>_<arch>.deb (test
# bench programs), made from the build in build/.
package: build
	@cd build && cpack -G DEB >/dev/null && ls -1 $(CURDIR)/build/*.deb

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan build-fuzz
