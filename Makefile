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
# Asked when a recipe runs, after set-up has installed the 32-bit loader.
RUNTREE = $$(tools/run32 >/dev/null && echo $(X86) || echo $(X64))

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
	@tools/check-format
	@tools/check-wine32
	@set -e; why=$$(tools/run32) && trees="$(X64) $(X86)" || trees="$(X64)"; \
	for t in $$trees; do \
	  tools/wine-run --build $$t start >/dev/null; \
	  rc=0; ctest --test-dir $$t --output-on-failure -j $(JOBS) || rc=$$?; \
	  tools/wine-run --build $$t stop; \
	  [ $$rc = 0 ] || { echo "make test: $$t failed"; exit $$rc; }; \
	done; \
	if [ -z "$$why" ]; then echo "make test: both trees tested: $(X64) and $(X86) (the 32-bit deliverables)"; \
	else echo "make test: only $(X64) tested; $(X86) (the 32-bit deliverables) built and checked, its tests not run: $$why"; fi

demo: build
	@tools/demo.sh $(RUNTREE)

bench: build
	@tools/bench.sh $(RUNTREE)

fuzz: build
	@tools/fuzz.sh $(RUNTREE) $(FUZZ_COUNT) $(FUZZ_SEED)

clean:
	rm -rf $(BUILD)
