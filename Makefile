# The README's commands. Each one installs what it needs first.
PRESET ?= default

.PHONY: all deps configure build test demo bench format clean

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

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build out
