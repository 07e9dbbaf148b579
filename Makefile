# The README's commands. Each one installs what it needs first.
PRESET ?= default

.PHONY: all deps configure build test demo serve bench fuzz format clean

all: build

deps:
	./scripts/install-deps

configure: deps
	cmake --preset $(PRESET)

build: configure
	cmake --build --preset $(PRESET)

# The shared-library package check (label shared-package) is CI's own step (.ci/run).
test: build
	ctest --preset $(PRESET) -j2 -LE shared-package

# Only the tool: no tests, no benchmarks.
demo: configure
	cmake --build --preset $(PRESET) --target penwell_tool
	./build/$(PRESET)/tools/penwell demo --demo --out out

# The signing pad on http://127.0.0.1:8080/ with the demo certificate; SERVE_ARGS adds options
# (`make serve SERVE_ARGS="--out signatures"`).
serve: build
	./build/$(PRESET)/tools/penwell serve --demo --resources demo-certificate $(SERVE_ARGS)

bench: deps
	cmake --preset bench
	cmake --build --preset bench
	./build/bench/bench/penwell_bench
	./build/bench/host/web/bench/penwell_serve_load
	./build/bench/host/web/bench/penwell_serve_load --snapshots
	./build/bench/host/web/bench/penwell_serve_load --durable
	cmake --build --preset bench --target penwell_browser_latency
	./build/bench/bench/penwell_verify_bench
	if [ -x ./build/bench/bench/penwell_pdf_bench ]; then ./build/bench/bench/penwell_pdf_bench; fi
	if [ -x ./build/bench/bench/penwell_service_bench ]; then ./build/bench/bench/penwell_service_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true; fi
	if [ -x ./build/bench/bench/penwell_qt_bench ]; then ./build/bench/bench/penwell_qt_bench; fi

# Each libFuzzer harness for FUZZ_SECONDS (clang, ASan + UBSan); `make fuzz FUZZ_SECONDS=600`.
FUZZ_SECONDS ?= 60
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz
	./scripts/run-fuzzers $(FUZZ_SECONDS) $(FUZZ_TARGETS)

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build out
