#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <random>

#include "shared/verify/ClassifierPreprocessor.h"

namespace glintward {
namespace {

// A camera frame of noise, so no two neighbouring reads are alike.
std::shared_ptr<const PixelBuffer> noiseFrame(std::int32_t width, std::int32_t height) {
    std::mt19937 random(42);
    PixelBuffer pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (auto& pixel : pixels) pixel = static_cast<std::int32_t>(random() | 0xFF000000u);
    return std::make_shared<const PixelBuffer>(std::move(pixels));
}

void cropAndResize(benchmark::State& state) {
    const auto width = static_cast<std::int32_t>(state.range(0));
    const auto height = static_cast<std::int32_t>(state.range(1));
    const ClassifierInput frame(noiseFrame(width, height), width, height);
    const auto& preprocessor = ClassifierPreprocessor::shared();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            preprocessor.centerCropAndResize(frame, ClassifierPreprocessor::MODEL_INPUT_SIZE));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(cropAndResize)->Args({1920, 1080})->Args({4032, 3024})->Unit(benchmark::kMillisecond);

void floatRgb(benchmark::State& state) {
    const ClassifierInput frame(noiseFrame(1920, 1080), 1920, 1080);
    const auto& preprocessor = ClassifierPreprocessor::shared();
    const auto pixels = preprocessor.centerCropAndResize(frame, ClassifierPreprocessor::MODEL_INPUT_SIZE);
    for (auto _ : state) benchmark::DoNotOptimize(preprocessor.toFloatRgb(pixels));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(floatRgb)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace glintward

BENCHMARK_MAIN();
