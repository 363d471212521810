# Build, test and demo for upsagent, upssim (and the programs that follow).
# `make deps` is the one place that installs Debian packages (as root);
# `make test`, `make demo`, `make tsan`, `make asan`, `make werror` and
# `make soak` run it first, so they work on a fresh machine, while `make`
# and `make build` only build. `.ci/run` is cycles, test, werror, asan and
# tsan.

BUILD      ?= build
LINK       ?= serial
TSAN_BUILD ?= build-tsan
ASAN_BUILD ?= build-asan
WERROR_BUILD ?= build-werror
SOAK_MINUTES ?= 10
BENCH_LABEL ?= current
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
JOBS       ?= $(shell nproc)
PYTHON     := /usr/bin/python3

# Debian packages the project needs to build and test.
PACKAGES := cmake g++ make pkg-config libgtest-dev libusb-1.0-0-dev libncurses-dev \
            libcurl4-openssl-dev libssl-dev tmux python3 python3-pytest python3-pytest-xdist \
            python3-aiosmtpd openssl iproute2 systemd man-db groff-base \
            dpkg-dev lintian procps nut-client nut-server prometheus libcrypt-dev \
            libsnmp-dev snmpd snmp clang libclang-rt-dev duktape

.PHONY: all build install package deps test tsan asan werror fuzz demo bench soak cycles clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' \
	    || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update && apt-get install -y --no-install-recommends $$missing; \
	fi

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# The include graph's cycles (a module is a header and its source); fails
# when there is one.
cycles:
	$(PYTHON) scripts/include-cycles.py

# The programs into the program directory (/opt/tarvo-mains-sentinel, or
# PREFIX), below DESTDIR when given.
install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# A Debian package of what `make install` puts in place, in $(BUILD)/.
package: build
	cd $(BUILD) && cpack -G DEB

test: deps build
	scripts/test.sh $(BUILD)

# The whole suite again, every program built with ThreadSanitizer.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPS_SANITIZE=thread >/dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" scripts/test.sh $(TSAN_BUILD)

# The unit tests again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer: a memory error, a leak or undefined behaviour
# fails the test that met it.
asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPS_SANITIZE=address,undefined >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j 2 --timeout 120

# Everything built with warnings as errors.
werror: deps
	cmake -S . -B $(WERROR_BUILD) -DCMAKE_BUILD_TYPE=Release -DUPS_WERROR=ON >/dev/null
	cmake --build $(WERROR_BUILD) -j $(JOBS)

# Every fuzz target (tests/fuzz) built with clang, libFuzzer, ASan and UBSan,
# each run FUZZ_SECONDS from its seed corpus (FUZZ_TARGETS: only these, by
# name without "fuzz_"); fails on any finding.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DUPS_FUZZ=ON -DBUILD_TESTING=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# LINK=snmp: the daemon polls a stand-in SNMP card (snmpd + upssim) instead;
# LINK=hid: a stand-in USB HID Power Device (the stand-in libusb).
demo: deps build
	scripts/demo.sh $(BUILD) $(LINK)

# Speed and memory of the servers on ports 2027 and 3493 (the latter
# against Debian's upsd and a floor server), appended to BENCHMARKS.md with
# BENCH_LABEL.
bench: deps build
	scripts/bench.sh $(BUILD) "$(BENCH_LABEL)"

# The daemon under load and random state changes for SOAK_MINUTES: its
# RSS, threads, descriptors and CPU time at the start and the end.
soak: deps build
	scripts/soak.sh $(BUILD) $(SOAK_MINUTES)

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) $(ASAN_BUILD) $(WERROR_BUILD) $(FUZZ_BUILD)
