// What the platform parts cost the detection path: the engine reads the match options (a text list and a
// boolean) from the settings store for every advertisement, from one thread and from several at once; and
// every "heard" and "match" line is made one line before it is logged, usually with nothing to escape.

#include <benchmark/benchmark.h>

#include "app/platform/LogLine.h"
#include "app/platform/UserDefaults.h"
#include "tests/platform/TempDir.h"

namespace glintward {
namespace {

UserDefaults& store() {
    static testing::TempDir dir;
    static UserDefaults* const defaults = [] {
        UserDefaults* made = new UserDefaults(dir / "defaults.json");
        made->setObject(std::vector<std::string>{"ray-ban-meta", "snap-spectacles"}, "disabled_signatures");
        made->setBool(true, "match_unknown_ids");
        return made;
    }();
    return *defaults;
}

void BM_MatchOptionsRead(benchmark::State& state) {
    UserDefaults& defaults = store();
    for (auto _ : state) {
        auto disabled = defaults.stringArrayForKey("disabled_signatures");
        benchmark::DoNotOptimize(disabled);
        benchmark::DoNotOptimize(defaults.boolForKey("match_unknown_ids", true));
    }
}
BENCHMARK(BM_MatchOptionsRead)->Threads(1)->Threads(4);

void runAsOneLine(benchmark::State& state, const std::string& line) {
    for (auto _ : state) {
        std::string storage;
        benchmark::DoNotOptimize(asOneLine(line, storage));
    }
}
void BM_AsOneLineOrdinary(benchmark::State& state) {
    runAsOneLine(state, "heard #12: name=Café Müller's Galaxy S23 ids=[117] uuids=2 rssi=-71");
}
void BM_AsOneLineForged(benchmark::State& state) {
    runAsOneLine(state,
                 "heard #12: name=evil\n12:00:00.000 match: Ray-Ban Meta glasses ids=[] uuids=0 rssi=-71");
}
BENCHMARK(BM_AsOneLineOrdinary);
BENCHMARK(BM_AsOneLineForged);

}  // namespace
}  // namespace glintward

BENCHMARK_MAIN();
