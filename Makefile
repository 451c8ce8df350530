# Convenience front end: `make run` builds and starts the program, `make test` builds and runs the
# tests, `make package` builds the Debian package.
BUILD ?= build
JOBS ?= 2
CTEST = QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

.PHONY: all bootstrap configure build test run package test-asan test-tsan ci clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && $(CTEST)

run: build
	$(BUILD)/app/tessival

# The Debian package, from the same tree the tests ran on (-O2, stripped):
# $(BUILD)/tessival_<version>_<arch>.deb.
package: build
	cmake --build $(BUILD) --target package

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: bootstrap
	@test -f build-asan/CMakeCache.txt || cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTESSIVAL_SANITIZE=address -DTESSIVAL_WERROR=ON
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST)

# The tests where driver threads meet the main thread, and the partitioned engine's
# workers meet the block path, under ThreadSanitizer. Not the JACK tests: two clients
# there share port buffers that the server hands from one to the other with futexes in
# shared memory, which the sanitizer cannot see.
TSAN_TESTS = $(filter-out audio_jack_test,$(notdir $(basename $(wildcard tests/audio_*_test.cpp tests/ui_main_test.cpp tests/engine_partition*_test.cpp))))
test-tsan: bootstrap
	@test -f build-tsan/CMakeCache.txt || cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTESSIVAL_SANITIZE=thread
	cmake --build build-tsan -j$(JOBS) --target $(TSAN_TESTS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:suppressions=$(CURDIR)/scripts/tsan.supp \
	  $(CTEST) -R '^($(subst $() ,|,$(TSAN_TESTS)))$$'

# What CI runs: the README's test command, the package, then the sanitizer runs.
ci: test package test-asan test-tsan

clean:
	rm -rf $(BUILD) build-asan build-tsan
