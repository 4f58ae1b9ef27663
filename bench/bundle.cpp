// Decoding the signature bundle: the catalogue body of every sync and of every start. Measures the fuzz seed
// that looks most like a real catalogue, a catalogue of 256 such signatures, and an 8 MiB body whose one
// unknown member is nothing but nested arrays (what a hostile or broken service could send).
//   bench_bundle [benchmark flags]   the timings
//   bench_bundle --peak-rss          decodes the nested body once and prints the process's peak RSS

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "shared/sync/SignatureBundle.h"

namespace glintward {
namespace {

std::string fullSeed() {
    std::ifstream in(GLINTWARD_BUNDLE_SEED);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string catalogue(int signatures) {
    std::string text = R"({"version": 12, "exclusionPatterns": ["quest", "portal"], "signatures": [)";
    for (int i = 0; i < signatures; ++i) {
        if (i > 0) text += ',';
        const std::string n = std::to_string(i);
        text += R"(
    {"id": "model-)" +
                n + R"(", "brand": "Brand )" + n + R"(", "displayName": "Model )" + n + R"( glasses",
     "namePatterns": ["model[- ]?)" +
                n + R"(", "brand )" + n + R"( glasses"], "companyIds": [1422, )" + n +
                R"(], "companyIdsVerified": true,
     "serviceUuids": ["0000FD5F-0000-1000-8000-00805F9B34FB", "0000feb7-0000-1000-8000-00805f9b34fb"]})";
    }
    return text + "]}";
}

std::string nestedBody() {
    constexpr std::size_t SIZE = 8u << 20;
    const std::string head = R"({"version": 1, "x": )";
    const std::size_t depth = (SIZE - head.size() - 1) / 2;
    const std::size_t pad = SIZE - head.size() - 1 - 2 * depth;
    return head + std::string(depth, '[') + std::string(depth, ']') + std::string(pad, ' ') + '}';
}

void decode(benchmark::State& state, const std::string& text) {
    for (auto _ : state) benchmark::DoNotOptimize(SignatureBundleJson::parse(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_DecodeFullSeed(benchmark::State& state) {
    decode(state, fullSeed());
}
BENCHMARK(BM_DecodeFullSeed);

void BM_DecodeCatalogue256(benchmark::State& state) {
    decode(state, catalogue(256));
}
BENCHMARK(BM_DecodeCatalogue256);

void BM_DecodeNestedUnknownMember8MiB(benchmark::State& state) {
    decode(state, nestedBody());
}
BENCHMARK(BM_DecodeNestedUnknownMember8MiB)->Unit(benchmark::kMillisecond);

long peakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int printPeakRss() {
    const std::string text = nestedBody();
    const long before = peakRssKiB();
    const int version = SignatureBundleJson::parse(text).version;
    const long after = peakRssKiB();
    std::printf("nested body of %zu bytes: version %d, peak RSS %ld KiB before decoding, %ld KiB after\n",
                text.size(), version, before, after);
    return 0;
}

}  // namespace
}  // namespace glintward

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--peak-rss") == 0) return glintward::printPeakRss();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
