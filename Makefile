# make test  - set up, build both architectures, run every test under Wine
# make demo  - set up, build, run the sync program's demo flow under Wine
# make bench - benchmarks of the data-handling code against standard tools
# make fuzz  - mutation fuzzing of the readers of outside input (not part of make test)
BUILD ?= build
JOBS  ?= $(shell nproc)
FUZZ_COUNT ?= 20000
FUZZ_SEED ?= 1
X86 := $(BUILD)/x86
X64 := $(BUILD)/x64
# 32-bit Wine needs a kernel that runs 32-bit code; elsewhere the tests run the x86_64 build.
RUN32 := $(shell /lib/ld-linux.so.2 --version >/dev/null 2>&1 && echo yes)
TESTTREES := $(X64) $(if $(RUN32),$(X86))

.PHONY: all setup configure build test demo bench fuzz clean
all: build

setup:
	@tools/setup.sh

$(X86)/build.ninja: | setup
	@cmake -S . -B $(X86) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/mingw.cmake -DIVL_ARCH=i686 >/dev/null
$(X64)/build.ninja: | setup
	@cmake -S . -B $(X64) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/mingw.cmake -DIVL_ARCH=x86_64 >/dev/null

configure: $(X86)/build.ninja $(X64)/build.ninja

build: setup configure
	@cmake --build $(X86) -j $(JOBS)
	@cmake --build $(X64) -j $(JOBS)

test: build
	@tools/check-binaries $(X86)
	@tools/check-layering
	@set -e; for t in $(TESTTREES); do \
	  tools/wine-run --build $$t start >/dev/null; \
	  rc=0; ctest --test-dir $$t --output-on-failure -j $(JOBS) || rc=$$?; \
	  tools/wine-run --build $$t stop; \
	  [ $$rc = 0 ] || exit $$rc; \
	done

demo: build
	@tools/demo.sh $(if $(RUN32),$(X86),$(X64))

bench: build
	@tools/bench.sh $(if $(RUN32),$(X86),$(X64))

fuzz: build
	@tools/fuzz.sh $(if $(RUN32),$(X86),$(X64)) $(FUZZ_COUNT) $(FUZZ_SEED)

clean:
	rm -rf $(BUILD)
