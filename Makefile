# The two commands of the README: `make run` and `make test`. Everything else is set up on the way.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test test-integration format format-check clean

all: build

deps:
	@./tools/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@./tools/run.sh $(BUILD)

test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The Debian packages: build/patrol-lamp_<version>_amd64.deb (the window) and build/patrol-lamp-headless_<version>_amd64.deb
# (the exporter alone, no display libraries); install with apt install ./build/patrol-lamp*.deb.
.PHONY: package
package: configure
	@cmake --build $(BUILD) -j $(JOBS) --target patrol-lamp patrol-lamp-headless patrol_package_files
	@cd $(BUILD) && cpack -G DEB
# Two exporter shards, a real Prometheus and Alertmanager, all on loopback (installs the two when missing).
test-integration: build
	@./tools/integration.sh $(BUILD)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Fails listing the files that `make format` would change.
format-check:
	@files=$$(git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror 2>&1 | grep -o '^[^:]*\.\(cpp\|h\):' | sort -u); \
	if [ -n "$$files" ]; then echo "Not formatted (run make format):"; echo "$$files"; exit 1; fi

clean:
	@rm -rf $(BUILD)

# Hardening: libFuzzer targets of tests/fuzz for FUZZ_SECONDS each, and the test suite under sanitizers.
FUZZ_SECONDS ?= 60
.PHONY: fuzz test-asan test-tsan

fuzz:
	@FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) ./tools/fuzz.sh

test-asan:
	@JOBS=$(JOBS) ./tools/sanitize.sh address build-asan

test-tsan:
	@JOBS=$(JOBS) ./tools/sanitize.sh thread build-tsan

# The README's set-up on a bare Debian 12 tree (debootstrap, root or sudo): make test and make run in a clean
# clone of REF. Slow: a full build and the suite; the bare tree is cached for the next run.
REF ?= HEAD
.PHONY: fresh-machine
fresh-machine:
	@./tools/fresh-machine.sh $(REF)
