# The two commands of the README, and a few helpers.
#   make demo   installs what is missing, builds, runs the host on the bundled examples
#   make demo-endpoint  the same as a provider endpoint, sent pushes by curl
#   make test   installs what is missing, builds, runs every test
#   make check  every test under ASan and UBSan, then the threaded ones under TSan
#   make fuzz   builds the libFuzzer targets with clang and runs each for a minute
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
FUZZ_DIR ?= build-fuzz
WERROR_ARG := $(if $(WERROR),-DCORVANTA_WERROR=ON,)
CMAKE_ARGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR_ARG)

# The tests' origins listen on loopback: a proxy from the environment must not take their
# traffic.
LOOPBACK := no_proxy=127.0.0.1,localhost,.invalid NO_PROXY=127.0.0.1,localhost,.invalid

# Set in ctest's environment, so that the host processes the integration tests start (the
# sanitized binaries of the same build directory) stop at their first report as well.
SANITIZER_ENV := ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tsan.supp"

# What TSan runs: everything that starts threads (the loading engine with its thousands of
# concurrent tasks, the completion pool, expiries, the host, the provider endpoint and its
# token cache, the live page's server and its event streams), not the single-threaded rest.
TSAN_TESTS := 'URLLoading|ConnectionPool|Host|NotificationServiceTest|ManyThreads|Concurrent|ProviderEndpoint|EndpointLimits|ProviderToken|Live'

.PHONY: all deps configure build demo-build test demo demo-endpoint bench format clean check check-asan check-tsan \
        fuzz-deps fuzz-build fuzz fuzz-replay

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR)

# What the demos run, and nothing else: the host and the local media origin.
demo-build: configure
	@cmake --build $(BUILD_DIR) --target corvanta-nse media-origin

test: build
	@$(LOOPBACK) ctest --test-dir $(BUILD_DIR) --output-on-failure -j2

demo: demo-build
	@scripts/demo $(BUILD_DIR)

demo-endpoint: demo-build
	@scripts/demo-endpoint $(BUILD_DIR)

bench: build
	@cmake --build $(BUILD_DIR) --target benchmarks
	@scripts/bench $(BUILD_DIR)

# The soak test is left out: it measures endurance, which the sanitizers' slowdown distorts.
check: check-asan check-tsan

check-asan: deps
	@cmake -S . -B $(ASAN_DIR) $(CMAKE_ARGS) -DCORVANTA_SANITIZE=address >/dev/null
	@cmake --build $(ASAN_DIR)
	@$(LOOPBACK) $(SANITIZER_ENV) ctest --test-dir $(ASAN_DIR) --output-on-failure -j2 -LE soak

check-tsan: deps
	@cmake -S . -B $(TSAN_DIR) $(CMAKE_ARGS) -DCORVANTA_SANITIZE=thread >/dev/null
	@cmake --build $(TSAN_DIR) --target unit_tests integration_tests
	@$(LOOPBACK) $(SANITIZER_ENV) ctest --test-dir $(TSAN_DIR) --output-on-failure -j2 -LE soak \
	  -R $(TSAN_TESTS)

fuzz-deps:
	@scripts/install-deps --fuzz

fuzz-build: fuzz-deps
	@cmake -S . -B $(FUZZ_DIR) $(CMAKE_ARGS) -DCMAKE_CXX_COMPILER=clang++ -DCORVANTA_FUZZ=ON \
	  >/dev/null
	@cmake --build $(FUZZ_DIR) --target fuzzers

# Each replays its committed corpus, then fuzzes; FUZZERS="..." picks the targets.
fuzz: fuzz-build
	@fuzz/run $(FUZZ_DIR) 60

fuzz-replay: fuzz-build
	@fuzz/run $(FUZZ_DIR) 10

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR)
