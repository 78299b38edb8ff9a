# The two commands a newcomer needs: `make demo` and `make check`.
BUILD ?= build
JOBS ?= $(shell nproc)
# One test more than processors: the emulated machines spend much of their
# time waiting (a late answer, a 5 s bound). The Wine chain keeps two.
TEST_JOBS ?= $(shell echo $$(($$(nproc) + 1)))

.PHONY: all build check quick demo demo-windows deps fuzz bench soak mutants clean

all: build

deps:
	scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_REQUIRE_FIND_PACKAGE_GTest=ON
	cmake --build $(BUILD) -j $(JOBS)

check: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(TEST_JOBS)

# The loop while changing code: unit tests, program checks, static analysis
# and one machine's [arm] rows (ctest -L quick), about a minute once built.
quick: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(TEST_JOBS) -L quick

demo: build
	scripts/demo.sh $(BUILD)

# The same for the Windows program, under Wine in the test machine.
demo-windows: build
	scripts/demo-windows.sh $(BUILD)

# A longer fuzzing run than the one make check does.
fuzz: deps
	tests/checks/fuzz.sh . $(BUILD)/fuzz 600

# What the program costs; figures, not pass or fail.
bench: build
	scripts/bench.sh $(BUILD)

# Runs at once, some killed, for half an hour or more; figures and a verdict.
soak: build
	scripts/soak.sh $(BUILD)

# Each deliberate fault of tests/e2e/mutants.txt against every test machine:
# which rows catch it, and a failure where a machine no longer catches what
# tests/e2e/mutants.expected says. About 1 h 10 min; not part of make check.
mutants: build
	scripts/mutants.sh $(BUILD)

clean:
	rm -rf $(BUILD)
