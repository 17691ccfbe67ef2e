# The two commands a newcomer needs:
#   make test   install what is missing, build everything, run every test
#   make demo   install what is missing, build everything, run the demo
#
# Further targets: build, serve (actionmanagerd with the demo's profile), soak
# (the service's long run), asan (sanitizer build and its tests), tsan (thread
# sanitizer run of the threaded layers), fuzz (each fuzz target for FUZZ_SECONDS),
# bench (the benchmarks), format, clean.

PACKAGES := cmake ninja-build g++ make perl procps python3 binutils libgtest-dev libgmock-dev \
            libbenchmark-dev nlohmann-json3-dev libcli11-dev clang libclang-rt-14-dev \
            libcpp-httplib-dev prometheus-cpp-dev libsystemd-dev python3-jsonschema
FUZZ_SECONDS ?= 60
# The tests that exercise threads (label "threads"); only these are built and
# run under the thread sanitizer.
TSAN_TARGETS := repository_delivery_tests host_sink_tests runner_process_tests runner_command_tests \
                component_tests method_actions_tests program_actions_tests service_tests
SHELL := /bin/bash
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build test demo serve soak asan tsan fuzz bench format clean

all: build

# Installs only what is missing, so a ready machine pays nothing.
deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing: $$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

configure: deps
	cmake --preset default

build: configure
	cmake --build --preset default

test: build
	ctest --preset default

demo: build
	./build/default/bin/amctl demo

# actionmanagerd with the demo's profile on 127.0.0.1:8080 (examples/actionmanagerd.json;
# its journal and results go to build/serve). Stop it with Ctrl-C.
serve: build
	./build/default/bin/actionmanagerd -c examples/actionmanagerd.json

# The long run of the service (label "soak"; the test presets leave it out).
soak: build
	ctest --test-dir build/default -L soak --output-on-failure

asan: deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan --target $(TSAN_TARGETS)
	ctest --preset tsan

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz --target fuzz_all
	@set -e; shopt -s nullglob 2>/dev/null || true; \
	for f in build/fuzz/bin/fuzz_*; do \
	  name=$$(basename $$f); work=build/fuzz/corpus/$$name; mkdir -p $$work; \
	  seeds=; [ -d fuzz/corpus/$$name ] && seeds=fuzz/corpus/$$name; \
	  echo "== $$name ($(FUZZ_SECONDS) s)"; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -malloc_limit_mb=256 \
	      -print_final_stats=1 $$work $$seeds; \
	done

bench: build
	@for b in build/default/bin/bench_*; do echo "== $$b"; $$b; done

format:
	find . -path ./build -prune -o \( -name '*.h' -o -name '*.cc' \) -print | xargs clang-format -i

clean:
	rm -rf build
