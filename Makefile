# Convenience front end: `make run` builds and starts the program, `make test` builds and runs the tests.
BUILD ?= build
JOBS ?= 2

.PHONY: all bootstrap configure build test run bench clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

run: build
	$(BUILD)/app/tessival

clean:
	rm -rf $(BUILD)
