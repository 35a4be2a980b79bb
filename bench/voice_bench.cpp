// Nanoseconds per voice-frame of the inner voice loop, for a looped and a
// one-shot voice at a typical pitch and at a high one; and nanoseconds per
// stereo frame of the render pump as a host sees it, on a busy 4-channel
// module.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "bench/bench_modules.h"
#include "mixer/sd_mix.h"
#include "tunedump/tunedump.h"

namespace {

constexpr int32_t frames = 882;  // one tick at tempo 125

std::vector<int8_t> sample_points(size_t n)
{
    std::vector<int8_t> data(n + 1);
    for (size_t k = 0; k < data.size(); k++)
        data[k] = static_cast<int8_t>(std::lround(100.0 * std::sin(0.01 * static_cast<double>(k))));
    return data;
}

mix_channel voice(int8_t* data, uint32_t length, bool looped, int32_t step, uint32_t fraction)
{
    mix_channel v{};
    v.sample_data = data;
    v.length = length;
    v.loop_enabled = looped;
    v.loop_start = 0;
    v.loop_end = length - 1;
    v.step = step;
    v.step_fraction = fraction;
    v.volume = 64;
    return v;
}

// into_left: the front end's bus of left values, one float per frame.
void run_voice(benchmark::State& state, bool looped, bool into_left = false,
               size_t loop_points = 4000)
{
    std::vector<int8_t> data = sample_points(looped ? loop_points : 131070);
    std::vector<float> bus(2 * frames);
    const int32_t step = static_cast<int32_t>(state.range(0));
    const uint32_t fraction = static_cast<uint32_t>(state.range(1));
    mix_channel v = voice(data.data(), static_cast<uint32_t>(data.size() - 1), looped, step,
                          fraction);
    for (auto _ : state) {
        if (into_left)
            sd_c_imixleft_ended(&v, bus.data(), frames, 129.0f / 128);
        else
            sd_c_imixstereo_ended(&v, bus.data(), frames, 129.0f / 128, 0.0f);
        // A one-shot voice starts over before it ends, so every frame is mixed.
        if (!looped && v.position > 100000)
            v.position = 0;
        benchmark::DoNotOptimize(bus.data());
        benchmark::ClobberMemory();
    }
    state.counters["per_frame"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * frames,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void looped_voice(benchmark::State& state) { run_voice(state, true); }
void oneshot_voice(benchmark::State& state) { run_voice(state, false); }
void looped_voice_left(benchmark::State& state) { run_voice(state, true, true); }
// A chip waveform: a loop of 32 points, met every few dozen frames.
void short_loop_left(benchmark::State& state) { run_voice(state, true, true, 32); }

uint8_t image[VEX_IMAGE_BUFFER];

// mix_newhand (stereo) or mix_newhand_left (the front end's left values)
// in blocks of 1024 frames, replay ticks and all, on the benchmark's module
// with every channel busy.
void run_pump(benchmark::State& state, bool left)
{
    constexpr int32_t block = 1024;
    const std::vector<uint8_t> bytes = mb_build(bench_module("M.K."));
    std::memset(image, 0, sizeof image);
    std::memcpy(image, bytes.data(), bytes.size());
    if (vex_init(44100, 4096) == 0 || vex_get(image) == 0) {
        state.SkipWithError("the benchmark module did not load");
        return;
    }
    vex_start(1);
    std::vector<int16_t> frames_out(2 * block);
    for (auto _ : state) {
        if (left)
            mix_newhand_left(0, frames_out.data(), 2 * block);
        else
            mix_newhand(0, frames_out.data(), 4 * block);
        benchmark::DoNotOptimize(frames_out.data());
        benchmark::ClobberMemory();
    }
    vex_close();
    state.counters["per_frame"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * block,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void pump_4ch(benchmark::State& state) { run_pump(state, false); }
void pump_left_4ch(benchmark::State& state) { run_pump(state, true); }

}  // namespace

BENCHMARK(pump_4ch);
BENCHMARK(pump_left_4ch);

// Steps of period 428 (0.188 points a frame) and of period 113 (0.712).
BENCHMARK(looped_voice)->Args({0, 807083520})->Args({0, 3058016256});
BENCHMARK(oneshot_voice)->Args({0, 807083520})->Args({0, 3058016256});
BENCHMARK(looped_voice_left)->Args({0, 807083520})->Args({0, 3058016256});
BENCHMARK(short_loop_left)->Args({0, 807083520})->Args({0, 3058016256});

BENCHMARK_MAIN();
