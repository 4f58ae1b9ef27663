// Matching and the engine run for every advertisement the radio hears, duplicates included. This measures both
// over a fixed mix of 10,000 advertisements from 500 addresses (about 90 % named devices that match nothing,
// 5 % company-id-only matches, 5 % name matches, some without a name), against the built-in catalogue and
// against one of 200 signatures, with a one-pattern-at-a-time std::regex matcher beside it for comparison; and
// what publishing after a match costs as the session log grows.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <regex>

#include "shared/detection/Alerting.h"
#include "shared/detection/DetectionEngine.h"
#include "shared/detection/SignatureRepository.h"

namespace glintward {
namespace {

constexpr int ADDRESSES = 500;
constexpr int ADVERTISEMENTS = 10000;

std::string uuidFor(std::mt19937& rng) {
    static const char* hex = "0123456789ABCDEF";
    std::string s = "xxxxxxxx-xxxx-5xxx-8xxx-xxxxxxxxxxxx";
    for (char& c : s) {
        if (c == 'x') c = hex[rng() % 16];
    }
    return s;
}

const std::vector<BleAdvertisement>& mix() {
    static const std::vector<BleAdvertisement> ads = [] {
        std::mt19937 rng(20261210);
        const std::vector<std::string> ordinary = {
            "iPhone",          "Galaxy S23",       "Pixel 8 Pro",     "AirPods Pro",      "Galaxy Buds2",
            "WH-1000XM5",      "Jabra Elite 85t",  "Apple Watch",     "Galaxy Watch6",    "Fitbit Charge 5",
            "Forerunner 265",  "[TV] Samsung Q80", "LG webOS TV",     "BRAVIA XR",        "JBL Flip 6",
            "Bose QC45",       "Tile",             "MX Master 3S",    "Surface Pen",      "Mi Smart Band 8",
            "OnePlus Nord",    "Echo Dot",         "Nest Mini",       "Xbox Controller",  "DualSense",
        };
        const std::vector<std::string> glasses = {"Ray-Ban Meta 0A3F", "RB Meta Wayfarer", "Oakley Meta HSTN",
                                                  "Spectacles 4 1C2D", "Echo Frames 2"};
        const std::vector<std::int32_t> phoneCompanies = {76, 117, 224, 6, 89, 301};
        const std::vector<std::string> phoneUuids = {"0000fe9f-0000-1000-8000-00805f9b34fb",
                                                     "0000fd6f-0000-1000-8000-00805f9b34fb"};

        struct Device {
            std::string address;
            std::optional<std::string> name;
            std::vector<std::int32_t> companies;
            std::vector<std::string> uuids;
            int rssi;
        };
        std::vector<Device> devices;
        for (int i = 0; i < ADDRESSES; ++i) {
            Device d{uuidFor(rng), std::nullopt, {}, {}, -40 - static_cast<int>(rng() % 50)};
            const int kind = i % 20;  // 18 of 20 ordinary, 1 company-id-only glasses, 1 named glasses
            if (kind == 18) {
                d.companies = {1422};
            } else if (kind == 19) {
                d.name = glasses[rng() % glasses.size()];
                if (rng() % 2) d.companies = {1422};
            } else {
                if (rng() % 6 != 0) d.name = ordinary[rng() % ordinary.size()];  // some advertise no name
                d.companies = {phoneCompanies[rng() % phoneCompanies.size()]};
                if (rng() % 4 == 0) d.uuids = {phoneUuids[rng() % phoneUuids.size()]};
            }
            devices.push_back(std::move(d));
        }
        std::vector<BleAdvertisement> out;
        for (int i = 0; i < ADVERTISEMENTS; ++i) {
            const Device& d = devices[rng() % devices.size()];
            out.push_back(BleAdvertisement{d.address, d.name, d.companies, d.uuids,
                                           d.rssi + static_cast<int>(rng() % 7) - 3, std::nullopt,
                                           1'700'000'000'000 + i * 10});
        }
        return out;
    }();
    return ads;
}

// The built-in catalogue plus 196 made-up models with patterns of the usual shapes.
std::shared_ptr<const SignatureDatabase> largeCatalogue() {
    static const auto db = [] {
        std::vector<DeviceSignature> sigs;
        const auto builtIn = SignatureDatabase::builtIn();
        for (const auto& s : builtIn->signatures()) sigs.push_back(*s);
        for (int i = 0; sigs.size() < 200; ++i) {
            const std::string n = std::to_string(i);
            sigs.push_back({"model-" + n, "Maker " + n, "Model " + n + " glasses",
                            {compilePattern("maker" + n + "[- ]?(view|lens)"), compilePattern("^mdl-" + n + "\\b"),
                             compilePattern("visor ?" + n + "[a-f]?")},
                            {3000 + i},
                            i % 2 == 0,
                            {"0000" + std::to_string(7000 + i) + "-0000-1000-8000-00805f9b34fb"}});
        }
        return std::make_shared<const SignatureDatabase>(1, std::move(sigs),
                                                         std::vector<Pattern>{compilePattern("quest"),
                                                                              compilePattern("portal")});
    }();
    return db;
}

// The straightforward matcher: every exclusion and name pattern searched in turn with std::regex.
class BaselineMatcher {
public:
    explicit BaselineMatcher(const SignatureDatabase& db, std::vector<std::string> exclusions) : db_(db) {
        const auto flags = std::regex::ECMAScript | std::regex::icase;
        for (const auto& e : exclusions) exclusions_.emplace_back(e, flags);
        for (const auto& s : db.signatures()) {
            auto& list = patterns_.emplace_back();
            for (const auto& p : s->namePatterns) list.emplace_back(p->pattern(), flags);
        }
    }

    std::optional<SignatureMatch> match(const BleAdvertisement& ad) const {
        if (ad.name) {
            for (const auto& e : exclusions_) {
                if (std::regex_search(*ad.name, e)) return std::nullopt;
            }
        }
        std::optional<SignatureMatch> best;
        for (std::size_t i = 0; i < db_.signatures().size(); ++i) {
            const auto& s = *db_.signatures()[i];
            bool nameHit = false;
            if (ad.name) {
                for (const auto& p : patterns_[i]) {
                    if (std::regex_search(*ad.name, p)) {
                        nameHit = true;
                        break;
                    }
                }
            }
            bool idHit = false;
            for (auto id : ad.manufacturerCompanyIds) idHit = idHit || s.companyIds.contains(id);
            bool uuidHit = false;
            for (const auto& u : ad.serviceUuids) uuidHit = uuidHit || s.serviceUuids.contains(lowerAscii(u));
            double c = nameHit ? (idHit ? 0.95 : 0.9) : ((idHit || uuidHit) ? 0.6 : -1);
            if (c > 0 && (!best || c > best->confidence)) best = SignatureMatch{db_.signatures()[i], c};
        }
        return best;
    }

private:
    const SignatureDatabase& db_;
    std::vector<std::regex> exclusions_;
    std::vector<std::vector<std::regex>> patterns_;
};

void runEngine(benchmark::State& state, std::shared_ptr<const SignatureDatabase> db) {
    SignatureRepository repository;
    repository.update(db);
    if (db->version() == 0) repository.resetToBuiltIn();
    const MatchOptions options{{}, true};
    DetectionEngine engine(DetectionEngine::STALE_AFTER_MS_DEFAULT, [&] { return repository.current(); },
                           [&] { return options; });
    const auto& ads = mix();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine.onAdvertisement(ads[i]));
        if (++i == ads.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void runMatch(benchmark::State& state, std::shared_ptr<const SignatureDatabase> db) {
    const MatchOptions options{{}, true};
    const auto& ads = mix();
    std::size_t i = 0, matched = 0;
    for (auto _ : state) {
        auto m = db->match(ads[i], options);
        matched += m.has_value();
        benchmark::DoNotOptimize(m);
        if (++i == ads.size()) i = 0;
    }
    state.counters["matched%"] = 100.0 * static_cast<double>(matched) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
}

void runBaseline(benchmark::State& state, std::shared_ptr<const SignatureDatabase> db) {
    const BaselineMatcher baseline(*db, {"quest", "portal"});
    const auto& ads = mix();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(baseline.match(ads[i]));
        if (++i == ads.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// The built-in catalogue's engine as the host drives it, over `count` addresses each heard once.
struct HostEngine {
    HostEngine(std::size_t count, std::optional<std::string> heardName) : name(std::move(heardName)) {
        for (std::size_t i = 0; i < count; ++i) addresses.push_back(uuidFor(rng));
        for (const auto& address : addresses) hear(address);
    }
    std::optional<SignatureMatch> hear(const std::string& address) {
        return engine.onAdvertisement(BleAdvertisement{address, name, {1422}, {},
                                                       -50 - static_cast<int>(rng() % 30), std::nullopt, ++now});
    }

    std::shared_ptr<const SignatureDatabase> catalogue = SignatureDatabase::builtIn();
    DetectionEngine engine{DetectionEngine::STALE_AFTER_MS_DEFAULT, [this] { return catalogue; },
                           [] { return MatchOptions{{}, true}; }};
    std::mt19937 rng{7};
    std::vector<std::string> addresses;
    std::int64_t now = 1'700'000'000'000;
    std::optional<std::string> name;
};

// What the host does after each match: the match, then a published state that lives until the next one, with
// 100 devices near and a session log of range(0) entries.
void BM_Publish(benchmark::State& state) {
    HostEngine host(static_cast<std::size_t>(state.range(0)), "Ray-Ban Meta 0A3F");
    host.engine.prune(host.now + DetectionEngine::STALE_AFTER_MS_DEFAULT + 1);
    host.now += DetectionEngine::STALE_AFTER_MS_DEFAULT;
    const std::size_t near = std::min<std::size_t>(100, host.addresses.size());
    for (std::size_t i = 0; i < near; ++i) host.hear(host.addresses[i]);
    RadarState published;
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(host.hear(host.addresses[i]));
        published = host.engine.currentState(true, {});
        if (++i == near) i = 0;
    }
    state.counters["detections"] = static_cast<double>(published.detections.size());
    state.SetItemsProcessed(state.iterations());
}

// What the host does for each matching advertisement: the engine's part, then the alert step over the levels
// the engine counts, with range(0) addresses heard in turn: a few devices heard again and again, or a flood of
// addresses each new to the engine at its cap (those heard least recently making room). The cost must not
// grow with the number of devices tracked.
void BM_MatchAndAlertStep(benchmark::State& state) {
    HostEngine host(static_cast<std::size_t>(state.range(0)), std::nullopt);
    const Set<std::string> muted{host.addresses[0]};
    AlertGate gate(AlertGate::COOLDOWN_MS_DEFAULT);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(host.hear(host.addresses[i]));
        const ThreatLevel level =
            host.engine.threatLevel(muted, [](Proximity p) { return permits(AlertThreshold::IN_THE_ROOM, p); });
        benchmark::DoNotOptimize(gate.shouldAlert(level, host.now));
        if (++i == host.addresses.size()) i = 0;
    }
    state.counters["tracked"] = static_cast<double>(host.engine.trackedCount());
    state.SetItemsProcessed(state.iterations());
}

void BM_EngineBuiltIn(benchmark::State& s) { runEngine(s, SignatureDatabase::builtIn()); }
void BM_Engine200(benchmark::State& s) { runEngine(s, largeCatalogue()); }
void BM_MatchBuiltIn(benchmark::State& s) { runMatch(s, SignatureDatabase::builtIn()); }
void BM_Match200(benchmark::State& s) { runMatch(s, largeCatalogue()); }
void BM_StdRegexBuiltIn(benchmark::State& s) { runBaseline(s, SignatureDatabase::builtIn()); }
void BM_StdRegex200(benchmark::State& s) { runBaseline(s, largeCatalogue()); }

BENCHMARK(BM_EngineBuiltIn);
BENCHMARK(BM_Engine200);
BENCHMARK(BM_MatchBuiltIn);
BENCHMARK(BM_Match200);
BENCHMARK(BM_StdRegexBuiltIn);
BENCHMARK(BM_StdRegex200);
BENCHMARK(BM_Publish)->Arg(100)->Arg(2000)->Arg(20000);
BENCHMARK(BM_MatchAndAlertStep)->Arg(10)->Arg(100000);

// The baseline must agree with the real matcher, or its figures mean nothing.
bool baselineAgrees() {
    for (const auto& db : {SignatureDatabase::builtIn(), largeCatalogue()}) {
        const BaselineMatcher baseline(*db, {"quest", "portal"});
        for (const auto& ad : mix()) {
            const auto a = db->match(ad, {});
            const auto b = baseline.match(ad);
            if (a.has_value() != b.has_value() || (a && a->signature != b->signature)) return false;
        }
    }
    return true;
}

}  // namespace
}  // namespace glintward

int main(int argc, char** argv) {
    if (!glintward::baselineAgrees()) {
        std::fprintf(stderr, "the std::regex baseline disagrees with the matcher\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
