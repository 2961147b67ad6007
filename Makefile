# Thin wrapper over CMake: `make demo` and `make test` work on a fresh Debian 12.
BUILD ?= build
JOBS ?= $(shell nproc)
DEMO ?= $(BUILD)/demo

.PHONY: all deps build demo test clean

all: build

deps:
	bash .ci/deps

build: deps
	cmake -S . -B $(BUILD) -DZENTHRA_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS)

# A made-up world, ten photos of it and their script, stitched into a JPEG.
demo: build
	./$(BUILD)/tools/scenegen demo --out $(DEMO) >/dev/null
	./$(BUILD)/zenthra -c -q -o $(DEMO)/pano $(DEMO)/scene.txt
	@echo "Demo panorama: $(abspath $(DEMO))/pano.jpg"
	@echo "(stitched from the photos and the script scene.txt beside it)"

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 600

clean:
	rm -rf $(BUILD) build-i386 build-asan build-tsan
