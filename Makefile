# The two commands a newcomer needs:
#   make test   install what is missing, build everything, run every test
#   make demo   install what is missing, build everything, run the demo
#
# Further targets: build, serve (actionmanagerd with the demo's profile), soak
# (the service's long run), asan (sanitizer build and its tests), clang (the
# whole tree built with clang), tsan (thread sanitizer run of the threaded
# layers), fuzz (each fuzz target for FUZZ_SECONDS), tidy (clang-tidy over
# every source), bench (the benchmarks), bench-peers (the process runner
# against a bare spawn, Python and a bare perl spawn, interleaved in one run),
# bench-webhook (actionmanagerd against the webhook server, side by side),
# bench-ha (actionmanagerd on SQLite against one and two daemons on
# PostgreSQL, interleaved in one run), bench-front-door (actionmanagerd's
# HTTP server against the thread-per-connection server it replaced, built
# from this repository's history, interleaved), package (the Debian package, checked
# by lintian), format, clean.

# What the build and the tests need (pkgconf: the embedding example's second
# build; locales: the decimal-comma locale a settings test makes for itself;
# python3-jsonschema: the service configuration's schema test;
# prometheus-alertmanager: the service's end-to-end Alertmanager test;
# libboost-dev and libssl-dev: actionmanagerd's HTTP server and its TLS;
# openssl and curl: the service's TLS test makes a CA and talks HTTPS;
# libsqlite3-dev: actionmanagerd's state database; libpq-dev: the client
# library of its PostgreSQL state backend; postgresql: the server the tests of
# that backend start for themselves; libcpp-httplib-dev: the tests' HTTP
# client).
PACKAGES := cmake ninja-build g++ make perl procps python3 binutils pkgconf locales \
            libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev \
            libcpp-httplib-dev prometheus-cpp-dev libsystemd-dev python3-jsonschema \
            prometheus-alertmanager groff-base libsqlite3-dev libboost-dev libssl-dev openssl curl \
            libpq-dev postgresql
# What `make package` needs on top: dpkg-shlibdeps, the file tool CPack finds
# the binaries with, and lintian; systemd for packaging/check_deb.sh's
# systemd-analyze.
PACKAGE_PACKAGES := dpkg-dev file lintian systemd
FUZZ_SECONDS ?= 60
# The tests that exercise threads (label "threads"); only these are built and
# run under the thread sanitizer.
TSAN_TARGETS := repository_delivery_tests host_tests host_sink_tests runner_process_tests \
                runner_command_tests component_tests method_actions_tests program_actions_tests \
                service_tests
SHELL := /bin/bash
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps fuzz-deps configure build test demo serve soak asan clang tsan fuzz tidy bench \
        bench-peers bench-webhook bench-ha bench-front-door package format clean

all: build

# $(call apt_install,PACKAGES) installs those of PACKAGES that are missing, so
# a ready machine pays nothing.
define apt_install
missing=$$(for p in $(1); do \
    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; \
  done); \
if [ -n "$$missing" ]; then \
  echo "Installing:" $$missing; \
  $(SUDO) apt-get update -qq && \
  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
fi
endef

deps:
	@$(call apt_install,$(PACKAGES))

# clang, then the compiler-rt of clang's own release where the distribution
# packages it apart (libclang-rt-N-dev, as Debian 12 does); on
# releases without that package it comes with clang (libclang-common-N-dev).
fuzz-deps: deps
	@$(call apt_install,clang)
	@major=$$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1); \
	rt=libclang-rt-$$major-dev; \
	offered() { apt-cache show --no-all-versions $$rt 2>/dev/null | grep -q '^Package:'; }; \
	if ! dpkg-query -W -f='$${Status}\n' $$rt 2>/dev/null | grep -q '^install ok installed$$'; then \
	  offered || $(SUDO) apt-get update -qq; \
	  if offered; then \
	    echo "Installing: $$rt"; \
	    DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$rt; \
	  else \
	    echo "No $$rt here: clang $$major brings its compiler-rt itself"; \
	  fi; \
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

# The long run of the service (bench/service_soak.cc; not part of the tests).
soak: build
	./build/default/bin/soak_service

asan: deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

# Every target of the tree, compiled by clang with warnings as errors.
clang: deps
	@$(call apt_install,clang)
	cmake --preset clang
	cmake --build --preset clang

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan --target $(TSAN_TARGETS)
	ctest --preset tsan

fuzz: fuzz-deps
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

# clang-tidy with .clang-tidy over every source file of the tree (not the
# generated ones), from the clang preset's compilation database.
tidy: deps
	@$(call apt_install,clang clang-tidy)
	cmake --preset clang
	run-clang-tidy -p build/clang -quiet -j 2 '^(?!.*/build/).*\.cc$$'

bench: build
	@for b in build/default/bin/bench_*; do echo "== $$b"; $$b; done

bench-peers: build
	@command -v python3 >/dev/null || { $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends python3; }
	python3 bench/peers.py --build build/default

# actionmanagerd against Debian's webhook server (installed when missing),
# each running `perl scustom.pl "true"` per request, interleaved in one run.
bench-webhook: build
	@$(call apt_install,webhook)
	python3 bench/webhook_peer.py --build build/default

# actionmanagerd on SQLite, on PostgreSQL, and two daemons sharing one
# PostgreSQL database (the test server with fsync off and on), interleaved.
bench-ha: build
	build/default/bin/bench_ha

bench-front-door: build
	bench/front_door_peer.sh build/default

# build/package/actionmanager_<version>_<arch>.deb, built with all of Debian's
# hardening flags; lintian must find no error or warning that
# packaging/debian/lintian-overrides does not explain, and no override that
# explains nothing.
DEB_FLAGS = $$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get $(1))
package: deps
	@$(call apt_install,$(PACKAGE_PACKAGES))
	cmake --preset package \
	  -DCMAKE_CXX_FLAGS="$(call DEB_FLAGS,CPPFLAGS) $(call DEB_FLAGS,CXXFLAGS)" \
	  -DCMAKE_C_FLAGS="$(call DEB_FLAGS,CPPFLAGS) $(call DEB_FLAGS,CFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$(call DEB_FLAGS,LDFLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$(call DEB_FLAGS,LDFLAGS)" \
	  -DCMAKE_MODULE_LINKER_FLAGS="$(call DEB_FLAGS,LDFLAGS)"
	cmake --build --preset package
	rm -f build/package/*.deb
	cd build/package && cpack -G DEB
	packaging/check_abi.sh build/package/lib/libActionManager.so packaging/libActionManager.symbols
	lintian --fail-on error,warning build/package/*.deb
	@# An override that no longer matches anything hides nothing and must go.
	@! lintian -I build/package/*.deb 2>/dev/null | grep unused-override

format:
	find . -path ./build -prune -o \( -name '*.h' -o -name '*.cc' \) -print | xargs clang-format -i

clean:
	rm -rf build
