# The two commands a fresh Debian 12 machine needs: `make run` and `make test`.
.PHONY: run test bench bench-short fuzz deps configure-release release agent asan format clean

JOBS ?= $(shell nproc)
CMAKE_GENERATE = cmake -G Ninja -S . -Wno-dev

deps:
	@./scripts/install-deps

configure-release: deps
	@$(CMAKE_GENERATE) -B build/release -DCMAKE_BUILD_TYPE=Release -DTAVOLIN_TESTS=OFF >/dev/null

release: configure-release
	@cmake --build build/release -j $(JOBS)

# Only what `make run` runs.
agent: configure-release
	@cmake --build build/release -j $(JOBS) --target tavolin-agent

asan: deps
	@$(CMAKE_GENERATE) -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTAVOLIN_SANITIZE=ON -DTAVOLIN_WERROR=ON -DTAVOLIN_BENCH=OFF >/dev/null
	@cmake --build build/asan -j $(JOBS)

run: agent
	@./scripts/run-agent build/release/tavolin-agent

test: asan
	@cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 300

bench: release
	@./scripts/run-benchmarks build/release

# Every benchmark once, with little work each: CI runs it so that none can stop working unseen.
bench-short: release
	@./scripts/run-benchmarks --short build/release

fuzz: deps
	@CC=clang CXX=clang++ $(CMAKE_GENERATE) -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOLIN_FUZZ=ON >/dev/null
	@cmake --build build/fuzz -j $(JOBS)
	@./scripts/run-fuzzers build/fuzz

format:
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	@rm -rf build
