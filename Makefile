# The two commands a newcomer needs: `make demo` and `make check`.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build check demo deps clean

all: build

deps:
	scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

check: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	scripts/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD)
