# Convenience front end to CMake; the README's Quick start uses it.
#   make run    build, then run the main job on the emulated camera
#   make test   build, then run every test
#   make asan / tsan / bench / fuzz   sanitizer, benchmark and fuzzer builds
BUILD ?= build
TYPE ?= RelWithDebInfo
WERROR ?= OFF
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
CTEST_ARGS ?=

configure = cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=$(TYPE) -DZM4_WERROR=$(WERROR) $(CMAKE_ARGS) $(2) >/dev/null
build = cmake --build $(1) -j $(JOBS)
ctest = ctest --test-dir $(1) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

.PHONY: all run test asan tsan bench fuzz clean
all:
	$(call configure,$(BUILD),)
	$(call build,$(BUILD))

run: all
	$(BUILD)/tools/zm4 decode samples/specimen-*.raw -f rgb24 -o frame.png
	@echo "wrote frame.png"

test: all
	$(call ctest,$(BUILD))

asan:
	$(call configure,build-asan,-DZM4_SANITIZE=address)
	$(call build,build-asan)
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 $(call ctest,build-asan)

tsan:
	$(call configure,build-tsan,-DZM4_SANITIZE=thread)
	$(call build,build-tsan)
	TSAN_OPTIONS=halt_on_error=1 $(call ctest,build-tsan)

bench:
	$(call configure,build-bench,-DCMAKE_BUILD_TYPE=Release -DZM4_BENCH=ON -DZM4_TESTS=OFF)
	$(call build,build-bench)
	build-bench/bench/zm4_bench

fuzz:
	CC=clang CXX=clang++ $(call configure,build-fuzz,-DZM4_FUZZ=ON -DZM4_TESTS=OFF)
	$(call build,build-fuzz)

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
