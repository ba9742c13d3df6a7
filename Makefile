# The two commands of the README, and a few helpers.
#   make demo   installs what is missing, builds, runs the host on the bundled examples
#   make test   installs what is missing, builds, runs every test
BUILD_DIR ?= build
CMAKE_ARGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(if $(WERROR),-DCORVANTA_WERROR=ON,)

.PHONY: all deps build test demo bench format clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD_DIR)

# The tests' origins listen on loopback: a proxy from the environment must not take their
# traffic.
test: build
	@no_proxy=127.0.0.1,localhost,.invalid NO_PROXY=127.0.0.1,localhost,.invalid \
	  ctest --test-dir $(BUILD_DIR) --output-on-failure -j2

demo: build
	@scripts/demo $(BUILD_DIR)

bench: build
	@cmake --build $(BUILD_DIR) --target benchmarks
	@scripts/bench $(BUILD_DIR)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD_DIR)
