# Thin wrapper over CMake: the build's truth lives in CMakeLists.txt.
#   make            build the programs into build/bin/ (no tests)
#   make check      install what is missing, build everything, run every test
#   make check-sanitize   the same tests built with address and UB sanitizers
#   make demo       build and run the sample service end to end
#   make bench      build and run the benchmarks (not part of check)
#   make install    install the programs (PREFIX, DESTDIR as usual)
#   make uninstall  remove them, and the directories the install created
#   make fuzz       run each fuzz target for FUZZ_SECONDS (default 60)
#   make stress     run the load and fault tests (bounded in time)
#   make deb        build the Debian package in build-deb/, run lintian and
#                   a test that serves a request from the unpacked package

BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
BENCH_BUILD ?= build-bench
DEB_BUILD ?= build-deb
PREFIX ?= /usr/local
# Installation directory: programs go to its command/, tollsetup names it.
INSTALL_HOME ?= $(PREFIX)/corvane
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Debian packages each target needs.
PACKAGES_BUILD = cmake g++ make perl libperl-dev libgtest-dev
PACKAGES_CHECK = $(PACKAGES_BUILD) tinycdb daemontools groff-base strace s6 systemd
PACKAGES_FUZZ = cmake clang libclang-rt-14-dev perl libperl-dev
PACKAGES_DEB = $(PACKAGES_BUILD) dpkg-dev debhelper lintian
PACKAGES_BENCH = $(PACKAGES_BUILD) libbenchmark-dev tinycdb libcdb-dev time s6 libnet-server-perl \
  valgrind strace socat doas sudo linux-perf

CMAKE_FLAGS = -DCMAKE_INSTALL_PREFIX=$(PREFIX) -DINSTALL_HOME=$(INSTALL_HOME)
# The check builds treat warnings as errors under continuous integration
# (CI=true), and not otherwise.
CHECK_FLAGS = $(CMAKE_FLAGS) -DWERROR=$(if $(filter true,$(CI)),ON,OFF)

.PHONY: all build check check-sanitize demo bench fuzz stress install uninstall \
        deb clean deps-build deps-check deps-bench deps-fuzz deps-deb

all: build

deps-build:
	@sh tools/install-deps $(PACKAGES_BUILD)
deps-check:
	@sh tools/install-deps $(PACKAGES_CHECK)
deps-bench:
	@sh tools/install-deps $(PACKAGES_BENCH)
deps-fuzz:
	@sh tools/install-deps $(PACKAGES_FUZZ)
deps-deb:
	@sh tools/install-deps $(PACKAGES_DEB)

# Only the programs: the tests are built by make check.
build: deps-build
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target programs

check: deps-check
	cmake -S . -B $(BUILD) $(CHECK_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure

check-sanitize: deps-check
	cmake -S . -B $(SANITIZE_BUILD) $(CHECK_FLAGS) -DSANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
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

# The programs and the stress tests only, not the rest of the tests.
stress: deps-check
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DBUILD_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS) --target programs stress_tests
	bash tests/stress/run $(BUILD)

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

uninstall:
	@test -f $(BUILD)/install_manifest.txt || { echo "nothing installed from $(BUILD)"; exit 1; }
	sed "s|^|$(DESTDIR)|" $(BUILD)/install_manifest.txt | xargs -r rm -f --
	rm -f $(BUILD)/install_manifest.txt
	@# The directories the installs created, deepest first, where empty.
	if [ -f $(BUILD)/install_dirs.txt ]; then \
	  sort -r -u $(BUILD)/install_dirs.txt | sed "s|^|$(DESTDIR)|" | \
	    while read -r d; do [ ! -d "$$d" ] || rmdir --ignore-fail-on-non-empty -- "$$d"; done; \
	  rm -f $(BUILD)/install_dirs.txt; \
	fi

# The package is built from a copy of the tree, so that dpkg-buildpackage
# leaves the tree and its parent directory as they were.
deb: deps-deb
	rm -rf $(DEB_BUILD)
	mkdir -p $(DEB_BUILD)/src
	tar -cf - --exclude='./build*' --exclude=./.git . | tar -xf - -C $(DEB_BUILD)/src
	cd $(DEB_BUILD)/src && dpkg-buildpackage -b -us -uc
	lintian --fail-on error $(DEB_BUILD)/corvane_*.deb
	sh tests/deb/install-test.sh $(DEB_BUILD)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(BENCH_BUILD) $(DEB_BUILD) build-fuzz
