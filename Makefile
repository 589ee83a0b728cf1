# Entry points for developers and CI; the real work is in scripts/ and the
# CMake presets (CMakePresets.json).
.PHONY: all deps test test-host test-ppc test-asan test-tsan lint format demo fuzz fuzz-smoke valgrind soak bench

# A plain `make` is `make test`.
all: test

# Debian packages for the build, the tests, the cross build and the checks.
deps:
	scripts/install-deps.sh

# Host suite, then the PowerPC suite under qemu-ppc. Missing packages are
# installed first where that needs no password (root, or sudo -n); else it
# stops and names `make deps`.
test:
	scripts/test.sh

# Only the host suite: no cross tools needed.
test-host:
	scripts/test.sh host

# Only the PowerPC suite (cross build, every test under qemu-ppc).
test-ppc:
	scripts/test.sh ppc

test-asan:
	scripts/test.sh asan

test-tsan:
	scripts/test.sh tsan

# clang-format check of every tracked source, then clang-tidy.
lint:
	scripts/lint.sh

# Rewrites tracked sources in the repository's clang-format style.
format:
	scripts/lint.sh --fix-format

demo:
	scripts/demo.sh

# libFuzzer targets (clang 14), FUZZ_SECONDS each (default 60); fuzz-smoke
# is the short run of CI.
FUZZ_SECONDS ?= 60
fuzz:
	scripts/fuzz.sh $(FUZZ_SECONDS)

fuzz-smoke:
	scripts/fuzz.sh 5

# Unit test executables under valgrind memcheck (build of preset default).
valgrind:
	scripts/valgrind.sh

# A longer service-fault soak: SOAK_ARGS="KILLS STALLS THREADS [SEED]".
soak:
	scripts/soak.sh $(SOAK_ARGS)

# Our figures against the alternatives, in Release, as one table of ratios.
bench:
	scripts/bench.sh
