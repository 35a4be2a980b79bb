# make demo: build everything and render the demo tune to build/demo.wav
# make test: build and run every test, plain and under ASan + UBSan, compare
#            renders across builds, fuzz for FUZZ_SECONDS, test the page
# make web:  build the page into web/dist (emscripten installed when missing)
# make test-web: the page's tests in chromium (installed when missing)
# make fuzz: build the libFuzzer target with clang (installed when missing),
#            replay fuzz/regressions, then fuzz for FUZZ_SECONDS
BUILD ?= build
SANBUILD ?= build-san
FUZZBUILD ?= build-fuzz
WEBBUILD ?= build-web
# Debian's emcc finds its JavaScript modules only through NODE_PATH.
NODE_PATH ?= /usr/share/nodejs
TUNEDUMP_CORPUS_DIR ?= $(CURDIR)/../shared/corpus
FUZZ_SECONDS ?= 90
JOBS ?= 2
BENCH_RUNS ?= 9

.PHONY: all deps demo web test-web test test-release test-sanitize test-builds fuzz fuzz-build fuzz-regressions bench clean

# Libraries the build needs that a fresh machine may lack.
deps:
	.ci/install-flac
	.ci/install-mido
	.ci/install-json

all: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

demo: all
	cmake --build $(BUILD) --target demo
	@echo "wrote $(BUILD)/demo.wav"

test-release: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DTUNEDUMP_SANITIZE=ON
	cmake --build $(SANBUILD) -j $(JOBS)
	cd $(SANBUILD) && ctest --output-on-failure -j $(JOBS)

# Every build must render the same bytes (GCC -O0/-O2/-O3, clang -O2, sanitizers).
test-builds: test-release test-sanitize
	.ci/compare-builds $(BUILD) $(SANBUILD)

test: test-release test-sanitize test-builds fuzz test-web

web:
	.ci/install-emscripten
	NODE_PATH=$(NODE_PATH) emcmake cmake -S . -B $(WEBBUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_C_FLAGS_RELEASE=-O2 -DCMAKE_CXX_FLAGS_RELEASE=-O2
	NODE_PATH=$(NODE_PATH) cmake --build $(WEBBUILD) -j $(JOBS)

# The page against the native program: its stems must be the same bytes.
test-web: all web
	.ci/install-chromium
	cd web && { [ -d node_modules/playwright-core ] || npm ci --no-audit --no-fund; }
	TUNEDUMP_BINARY=$(abspath $(BUILD))/tunedump TUNEDUMP_WEB_DIST=$(CURDIR)/web/dist \
	  TUNEDUMP_CORPUS_DIR=$(TUNEDUMP_CORPUS_DIR) TUNEDUMP_ARTIFACTS=$(abspath $(BUILD))/web-test \
	  node web/test/page_test.mjs

fuzz-build: deps
	.ci/install-clang
	CC=clang CXX=clang++ cmake -S . -B $(FUZZBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTUNEDUMP_FUZZ=ON -DTUNEDUMP_TESTS=OFF
	cmake --build $(FUZZBUILD) -j $(JOBS) --target tunedump_fuzz fuzz_seeds

# Every input that ever made the target fail, replayed as a plain test case.
fuzz-regressions: fuzz-build
	@set -e; n=0; for f in fuzz/regressions/*; do \
	  case "$$f" in *.md) continue;; esac; [ -f "$$f" ] || continue; \
	  $(FUZZBUILD)/fuzz/tunedump_fuzz "$$f" >$(FUZZBUILD)/fuzz/regression.log 2>&1 \
	    || { cat $(FUZZBUILD)/fuzz/regression.log; echo "fuzz regression failed: $$f"; exit 1; }; \
	  n=$$((n + 1)); done; \
	  if [ $$n = 0 ]; then echo "no fuzz regressions to replay"; \
	  else echo "regressions: $$n passed, 0 failed"; fi

fuzz: fuzz-regressions
	mkdir -p $(FUZZBUILD)/fuzz/corpus
	$(FUZZBUILD)/fuzz/tunedump_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=60 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZBUILD)/fuzz/ \
	  $(FUZZBUILD)/fuzz/corpus $(FUZZBUILD)/fuzz/seeds

# make bench: times tunedump against the floor of writing the file, FLAC against the
#             flac program, and the voice loop
bench: all
	$(BUILD)/bench/bench_render $(BUILD)/tunedump $(BUILD)/bench/bench_floor $(BUILD)/bench $(BENCH_RUNS)
	$(BUILD)/bench/bench_dataset $(BUILD)/tunedump $(TUNEDUMP_CORPUS_DIR) $(BUILD)/bench
	@if [ -x $(BUILD)/bench/voice_bench ]; then $(BUILD)/bench/voice_bench; fi
	@if [ -x $(BUILD)/bench/notes_bench ]; then $(BUILD)/bench/notes_bench; fi

clean:
	rm -rf $(BUILD) $(SANBUILD) $(FUZZBUILD) $(WEBBUILD) web/dist $(BUILD)-gcc-O0 $(BUILD)-gcc-O2 $(BUILD)-clang-O2
