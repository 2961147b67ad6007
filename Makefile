# Thin wrapper over CMake: `make demo` and `make test` work on a fresh Debian 12.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test clean

all: build

deps:
	bash .ci/deps

build: deps
	cmake -S . -B $(BUILD) -DZENTHRA_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	./$(BUILD)/zenthra -h

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 600

clean:
	rm -rf $(BUILD) build-asan build-tsan
