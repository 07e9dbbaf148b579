# The README's commands. Each one installs what it needs first.
PRESET ?= default

.PHONY: all deps configure build test demo bench fuzz format clean

all: build

deps:
	./scripts/install-deps

configure: deps
	cmake --preset $(PRESET)

build: configure
	cmake --build --preset $(PRESET)

test: build
	ctest --preset $(PRESET) -j2

demo: build
	./build/$(PRESET)/tools/penwell demo --out out

bench: deps
	cmake --preset bench
	cmake --build --preset bench
	./build/bench/bench/penwell_bench

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
