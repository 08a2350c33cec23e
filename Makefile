# Thin wrapper over CMake: the build's truth lives in CMakeLists.txt.
#   make            build everything into build/ (programs in build/bin/)
#   make check      install what is missing, build, run every test
#   make check-sanitize   the same tests built with address and UB sanitizers
#   make demo       build and run the sample service end to end
#   make bench      build and run the benchmarks (not part of check)
#   make install    install the programs (PREFIX, DESTDIR as usual)
#   make fuzz       run each fuzz target for FUZZ_SECONDS (default 60)
#   make stress     run the load and fault tests (bounded in time)

BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
BENCH_BUILD ?= build-bench
PREFIX ?= /usr/local
# Installation directory: programs go to its command/, tollsetup names it.
INSTALL_HOME ?= $(PREFIX)/corvane
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Debian packages each target needs.
PACKAGES_BUILD = cmake g++ make perl libperl-dev libgtest-dev
PACKAGES_CHECK = $(PACKAGES_BUILD) tinycdb daemontools groff-base
PACKAGES_FUZZ = cmake clang libclang-rt-14-dev perl libperl-dev
PACKAGES_BENCH = $(PACKAGES_BUILD) libbenchmark-dev tinycdb libcdb-dev time s6 libnet-server-perl \
  valgrind strace

CMAKE_FLAGS = -DCMAKE_INSTALL_PREFIX=$(PREFIX) -DINSTALL_HOME=$(INSTALL_HOME)

.PHONY: all build check check-sanitize demo bench fuzz stress install uninstall \
        clean deps-build deps-check deps-bench deps-fuzz

all: build

deps-build:
	@sh tools/install-deps $(PACKAGES_BUILD)
deps-check:
	@sh tools/install-deps $(PACKAGES_CHECK)
deps-bench:
	@sh tools/install-deps $(PACKAGES_BENCH)
deps-fuzz:
	@sh tools/install-deps $(PACKAGES_FUZZ)

build: deps-build
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

check: deps-check
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure

check-sanitize: deps-check
	cmake -S . -B $(SANITIZE_BUILD) $(CMAKE_FLAGS) -DSANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ctest --output-on-failure

demo: deps-check build
	bash tools/demo.sh $(BUILD)

bench: deps-bench
	cmake -S . -B $(BENCH_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCH=ON -DBUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	bash bench/run $(BENCH_BUILD)

FUZZ_SECONDS ?= 60
fuzz: deps-fuzz
	bash tests/fuzz/run $(FUZZ_SECONDS)

stress: deps-check build
	bash tests/stress/run $(BUILD)

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

uninstall:
	@test -f $(BUILD)/install_manifest.txt || { echo "nothing installed from $(BUILD)"; exit 1; }
	sed "s|^|$(DESTDIR)|" $(BUILD)/install_manifest.txt | xargs -r rm -f --

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(BENCH_BUILD) build-fuzz
