# Convenience front end to CMake; the README's Quick start uses it.
#   make run    install what the build needs, build zm4, capture from the emulated camera
#   make test   install what the build needs, build everything, run every test
#   make deps   install the Debian packages the build needs (apt-get; sudo unless root)
#   make asan / tsan / bench   sanitizer and benchmark builds
#   make soak   the long runs (CTest label soak), which the others leave out
#   make fuzz   build the fuzzers, run each over its corpus, then FUZZ_SECONDS each
#   make format-check   every source as .clang-format lays it out
BUILD ?= build
TYPE ?= RelWithDebInfo
WERROR ?= OFF
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
# The long runs (label soak) have a target of their own.
CTEST_ARGS ?= -LE soak

# What a fresh Debian 12 needs to build and test; the benchmarks and fuzzers
# add theirs. The README lists the same packages.
DEPS = g++ make cmake pkg-config libgtest-dev libpng-dev libcli11-dev nlohmann-json3-dev
BENCH_DEPS = libbenchmark-dev libyuv-dev
FUZZ_DEPS = clang
# The harnesses `make fuzz` builds and runs, each over fuzz/corpus-NAME (the
# decoder's over fuzz/corpus), and for how long each.
FUZZ_HARNESSES = decode camera packets
FUZZ_SECONDS ?= 60
FUZZ_FLAGS = -print_final_stats=1
# libFuzzer's own leak hunt re-runs an input whenever its mallocs and frees
# differ, which the machine the driver harnesses keep between inputs does
# routinely; they check the driver's pool blocks themselves.
FUZZ_DRIVER_FLAGS = -detect_leaks=0
FORMAT_DEPS = clang-format
SUDO = $(if $(filter 0,$(shell id -u)),,sudo)

# Installs the packages of $(1) that are missing, with one apt-get update first.
install_missing = @command -v dpkg-query >/dev/null || { echo "not a Debian system: install $(1) yourself"; exit 0; }; \
	missing=$$(for p in $(1); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "installing Debian packages:" $$missing; \
		$(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

# Configures and builds quietly: the log is shown only when something fails.
configure = cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=$(TYPE) -DZM4_WERROR=$(WERROR) $(CMAKE_ARGS) $(2)
quietly = @mkdir -p $(1) && { $(2); } >$(1)/make.log 2>&1 || { cat $(1)/make.log; exit 1; }
build = cmake --build $(1) -j $(JOBS) $(2)
ctest = ctest --test-dir $(1) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

.PHONY: all deps run test soak asan tsan bench fuzz format-check clean
all: deps
	$(call quietly,$(BUILD),$(call configure,$(BUILD),) && $(call build,$(BUILD),))

deps:
	$(call install_missing,$(DEPS))

run: deps
	$(call quietly,$(BUILD),$(call configure,$(BUILD),) && $(call build,$(BUILD),--target zm4))
	@$(BUILD)/tools/zm4 capture --simulated -t 3 -o capture.y4m --registry $(BUILD)/registry.reg
	@$(BUILD)/tools/zm4 snapshot --simulated -o snapshot.png --registry $(BUILD)/registry.reg
	@echo "wrote capture.y4m (3 s of the emulated camera) and snapshot.png"

test: all
	@$(call ctest,$(BUILD))

soak: all
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -L soak

asan: deps
	$(call quietly,build-asan,$(call configure,build-asan,-DZM4_SANITIZE=address) && $(call build,build-asan,))
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 $(call ctest,build-asan)

tsan: deps
	$(call quietly,build-tsan,$(call configure,build-tsan,-DZM4_SANITIZE=thread) && $(call build,build-tsan,))
	TSAN_OPTIONS=halt_on_error=1 $(call ctest,build-tsan)

bench: deps
	$(call install_missing,$(BENCH_DEPS))
	$(call quietly,build-bench,$(call configure,build-bench,-DCMAKE_BUILD_TYPE=Release -DZM4_BENCH=ON -DZM4_TESTS=OFF) && $(call build,build-bench,))
	build-bench/bench/zm4_bench

# Builds every harness, runs each over its seed corpus, then fuzzes each for
# FUZZ_SECONDS from a copy of its corpus in build-fuzz/run (new inputs stay
# out of the checkout; a finding leaves a crash-* file there and fails).
fuzz: deps
	$(call install_missing,$(FUZZ_DEPS))
	$(call quietly,build-fuzz,CC=clang CXX=clang++ $(call configure,build-fuzz,-DZM4_FUZZ=ON -DZM4_TESTS=OFF) && $(call build,build-fuzz,--target $(FUZZ_HARNESSES:%=zm4_fuzz_%)))
	@set -e; for h in $(FUZZ_HARNESSES); do \
		name=$$h; run=build-fuzz/run/$$name; \
		case $$name in \
		decode) corpus=corpus; flags="$(FUZZ_FLAGS)";; \
		*) corpus=corpus-$$name; flags="$(FUZZ_FLAGS) $(FUZZ_DRIVER_FLAGS)";; \
		esac; \
		rm -rf $$run && mkdir -p $$run/corpus && cp fuzz/$$corpus/* $$run/corpus/; \
		echo "== fuzz $$name: seed corpus, then $(FUZZ_SECONDS) s"; \
		build-fuzz/fuzz/zm4_fuzz_$$name $$run/corpus/* >$$run/seeds.log 2>&1 || { tail -40 $$run/seeds.log; exit 1; }; \
		(cd $$run && ../../fuzz/zm4_fuzz_$$name $$flags -max_total_time=$(FUZZ_SECONDS) corpus >fuzz.log 2>&1) || { tail -40 $$run/fuzz.log; exit 1; }; \
		grep -E '^#[0-9]+[[:space:]]+DONE|^Done ' $$run/fuzz.log || tail -1 $$run/fuzz.log; \
	done

# Every C and C++ source as .clang-format lays it out; CI runs it.
format-check:
	$(call install_missing,$(FORMAT_DEPS))
	@git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
	@echo "clang-format: every source is formatted"

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
