# make demo: build everything and render the demo tune to build/demo.wav
# make test: build and run every test, plain and under ASan + UBSan
BUILD ?= build
SANBUILD ?= build-san
JOBS ?= 2
BENCH_RUNS ?= 5

.PHONY: all demo test test-release test-sanitize bench clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

demo: all
	cmake --build $(BUILD) --target demo
	@echo "wrote $(BUILD)/demo.wav"

test-release: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-sanitize:
	cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DTUNEDUMP_SANITIZE=ON
	cmake --build $(SANBUILD) -j $(JOBS)
	cd $(SANBUILD) && ctest --output-on-failure -j $(JOBS)

test: test-release test-sanitize

# make bench: times tunedump against the floor of writing the file, and the voice loop
bench: all
	$(BUILD)/bench/bench_render $(BUILD)/tunedump $(BUILD)/bench/bench_floor $(BUILD)/bench $(BENCH_RUNS)
	@if [ -x $(BUILD)/bench/voice_bench ]; then $(BUILD)/bench/voice_bench; fi

clean:
	rm -rf $(BUILD) $(SANBUILD)
