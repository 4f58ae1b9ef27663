// Decoding the signature bundle: the catalogue body of every sync and of every start. Measures the fuzz seed
// that looks most like a real catalogue, a catalogue of 256 such signatures, and an 8 MiB body whose one
// unknown member is nothing but nested arrays (what a hostile or broken service could send).
//   bench_bundle [benchmark flags]   the timings
//   bench_bundle --peak-rss          decodes the nested body once and prints the process's peak RSS
//   bench_bundle --hostile [seconds] [shape...]
//                                    decodes and converts each hostile body (all by default) in a child process
//                                    of its own, stopped after the given CPU seconds (120 by default), and prints
//                                    the outcome, the CPU time, the peak RSS and what reached standard error

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

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

// Hostile bodies, each at most the transport's 8 MiB cap: what the service (or anyone in its place) could send
// to make building the catalogue cost as much as possible.
constexpr std::size_t BODY_CAP = std::size_t{8} << 20;

// A document of signatures made by signature(i) (a JSON object text), as many as count allows and the cap
// holds, with the given top-level members before them.
std::string document(const std::string& head, std::size_t count,
                     const std::function<std::string(std::size_t)>& signature) {
    std::string text = R"({"version": 1, )" + head + R"("signatures": [)";
    text.reserve(BODY_CAP);
    for (std::size_t i = 0; i < count; ++i) {
        std::string next = (i > 0 ? "," : "") + signature(i);
        if (text.size() + next.size() + 2 > BODY_CAP) break;
        text += next;
    }
    return text + "]}";
}

// A JSON array of texts made by item(i), as many as count allows and room holds.
std::string array(std::size_t count, std::size_t room, const std::function<std::string(std::size_t)>& item) {
    std::string text = "[";
    for (std::size_t i = 0; i < count; ++i) {
        std::string next = (i > 0 ? "," : "") + item(i);
        if (text.size() + next.size() + 1 > room) break;
        text += next;
    }
    return text + "]";
}

std::string signatureWith(std::size_t i, const std::string& members) {
    return R"({"id": "s)" + std::to_string(i) + R"(", "brand": "b", "displayName": "d")" +
           (members.empty() ? "" : ", " + members) + "}";
}

std::string quoted(const std::string& text) {
    return '"' + text + '"';
}

std::string repeated(const std::string& unit, std::size_t bytes) {
    std::string out;
    while (out.size() + unit.size() <= bytes) out += unit;
    return out;
}

// count copies of one pattern, 64 to a signature.
std::string manyOf(std::size_t count, const std::string& pattern) {
    return document("", (count + 63) / 64, [&](std::size_t i) {
        return signatureWith(i, R"("namePatterns": )" + array(std::min<std::size_t>(64, count - i * 64), BODY_CAP,
                                                               [&](std::size_t) { return pattern; }));
    });
}

// A repetition of a large Unicode class: RE2 needs millions of instructions for it.
const std::string CLASS_REPETITION = R"("[\\p{L}\\p{N}]{1000}N")";

struct Shape {
    const char* name;
    std::function<std::string()> body;
};

const std::vector<Shape>& shapes() {
    static const std::vector<Shape> all{
        {"repetition-20",  // 577 bytes
         [] {
             return document("", 1, [](std::size_t i) {
                 return signatureWith(i, R"("namePatterns": )" +
                                             array(20, BODY_CAP, [](std::size_t) { return CLASS_REPETITION; }));
             });
         }},
        {"repetition-2000",  // 40 signatures of 50 such patterns
         [] {
             return document("", 40, [](std::size_t i) {
                 return signatureWith(i, R"("namePatterns": )" +
                                             array(50, BODY_CAP, [](std::size_t) { return CLASS_REPETITION; }));
             });
         }},
        // Lists as long as the body allows.
        {"exclusions-xN",  // about 830,000 distinct short patterns
         [] {
             return document(R"("exclusionPatterns": )" +
                                 array(SIZE_MAX, BODY_CAP - 64,
                                       [](std::size_t i) { return quoted("x" + std::to_string(i)); }) +
                                 ", ",
                             0, nullptr);
         }},
        {"names-xN",  // the same in one signature's name patterns
         [] {
             return document("", 1, [](std::size_t i) {
                 return signatureWith(i, R"("namePatterns": )" +
                                             array(SIZE_MAX, BODY_CAP - 128, [](std::size_t k) {
                                                 return quoted("x" + std::to_string(k));
                                             }));
             });
         }},
        {"signatures", [] { return document("", SIZE_MAX, [](std::size_t i) { return signatureWith(i, ""); }); }},
        {"company-ids",
         [] {
             return document("", 1, [](std::size_t i) {
                 return signatureWith(i, R"("companyIds": )" + array(SIZE_MAX, BODY_CAP - 128, [](std::size_t k) {
                                             return std::to_string(k);
                                         }));
             });
         }},
        {"service-uuids",
         [] {
             return document("", 1, [](std::size_t i) {
                 return signatureWith(i, R"("serviceUuids": )" + array(SIZE_MAX, BODY_CAP - 128, [](std::size_t k) {
                                             char uuid[40];
                                             std::snprintf(uuid, sizeof uuid, "%08zx-0000-1000-8000-00805F9B34FB", k);
                                             return quoted(uuid);
                                         }));
             });
         }},
        {"one-pattern-8MiB",
         [] {
             return document("", 1, [](std::size_t i) {
                 return signatureWith(i, R"("namePatterns": [")" + std::string(BODY_CAP - 128, 'a') + R"("])");
             });
         }},
        // Patterns that stay small once compiled but are slow to parse: Unicode classes folded for case, and
        // counted repetitions, 1 KiB each, 64 to a signature.
        {"unicode-classes",
         [] { return manyOf(4096, quoted(repeated(R"(\\PL)", 1020))); }},
        {"counted-repetitions",
         [] { return manyOf(4096, quoted(repeated("a{1000}", 1020))); }},
        // The costliest catalogues that stay within the limits: as many such patterns as the compile budget
        // allows (what RE2 does for each, and again for the pattern set).
        {"within-unicode", [] { return manyOf(230, quoted(R"(\\PL)")); }},
        {"within-repetitions", [] { return manyOf(190, quoted("a{1000}")); }},
        {"within-programs", [] { return manyOf(90, quoted("[a-z]{600}")); }},
        {"within-failures", [] { return manyOf(61, quoted("[a-z]{1000}")); }},
        // Service UUID texts as long as the body allows, in every list at its limit.
        {"long-uuids-at-limits",
         [] {
             return document("", 1024, [](std::size_t i) {
                 return signatureWith(i, R"("serviceUuids": )" + array(64, BODY_CAP, [&](std::size_t k) {
                                             char unique[24];
                                             std::snprintf(unique, sizeof unique, "%zx-", i * 64 + k);
                                             return quoted(unique + std::string(110, 'F'));
                                         }));
             });
         }},
        // The largest ordinary catalogue: 1,024 signatures of 4 patterns, 64 company identifiers and 64
        // service UUIDs each.
        {"ordinary-at-limits",
         [] {
             return document("", 1024, [](std::size_t i) {
                 const std::string n = std::to_string(i);
                 return signatureWith(
                     i, R"("namePatterns": ["model[- ]?)" + n + R"(", "^mdl-)" + n + R"(\\b", "visor ?)" + n +
                            R"([a-f]?", "brand )" + n + R"( glasses"], "companyIds": )" +
                            array(64, BODY_CAP, [&](std::size_t k) { return std::to_string(i * 64 + k); }) +
                            R"(, "serviceUuids": )" + array(64, BODY_CAP, [&](std::size_t k) {
                                char uuid[40];
                                std::snprintf(uuid, sizeof uuid, "%08zx-0000-1000-8000-00805f9b34fb", i * 64 + k);
                                return quoted(uuid);
                            }));
             });
         }},
    };
    return all;
}

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

long currentRssKiB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// In the child: builds the body, then decodes and converts it once; one line to standard output.
[[noreturn]] void convertInChild(const Shape& shape) {
    const std::string body = shape.body();
    const long rssBefore = currentRssKiB();
    const double start = cpuSeconds();
    std::string outcome;
    try {
        const auto database = SignatureBundleJson::toDatabase(SignatureBundleJson::parse(body));
        std::size_t patterns = 0;
        for (const auto& s : database->signatures()) patterns += s->namePatterns.size();
        outcome = "accepted, " + std::to_string(database->signatures().size()) + " signatures, " +
                  std::to_string(patterns) + " name patterns kept";
    } catch (const std::exception& e) {
        outcome = std::string("refused: ") + e.what();
        if (outcome.size() > 110) outcome = outcome.substr(0, 107) + "...";
    }
    const double cpu = cpuSeconds() - start;
    std::printf("%-20s %8zu bytes %9.3f s CPU %7ld MiB peak RSS (%ld MiB before)  %s\n", shape.name, body.size(),
                cpu, peakRssKiB() / 1024, rssBefore / 1024, outcome.c_str());
    std::fflush(stdout);
    std::_Exit(0);
}

int runHostile(int argc, char** argv) {
    int first = 2;
    rlim_t cpuLimit = 120;
    if (first < argc && std::atoi(argv[first]) > 0) cpuLimit = static_cast<rlim_t>(std::atoi(argv[first++]));
    std::printf("each body decoded and converted once in a process of its own (CPU limit %lu s)\n",
                static_cast<unsigned long>(cpuLimit));
    for (const Shape& shape : shapes()) {
        bool wanted = first >= argc;
        for (int i = first; i < argc; ++i) wanted |= std::strcmp(argv[i], shape.name) == 0;
        if (!wanted) continue;
        std::FILE* errors = std::tmpfile();
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            dup2(fileno(errors), STDERR_FILENO);
            const rlimit limit{cpuLimit, cpuLimit + 5};
            setrlimit(RLIMIT_CPU, &limit);
            convertInChild(shape);
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        if (!WIFEXITED(status)) {
            std::printf("%-20s stopped by signal %d after %.1f s CPU, %ld MiB peak RSS\n", shape.name,
                        WIFSIGNALED(status) ? WTERMSIG(status) : 0,
                        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec),
                        usage.ru_maxrss / 1024);
        }
        std::fseek(errors, 0, SEEK_END);
        const long errorBytes = std::ftell(errors);
        if (errorBytes > 0) {
            char line[128] = {};
            std::rewind(errors);
            if (!std::fgets(line, sizeof line, errors)) line[0] = 0;
            std::printf("%-20s %ld bytes on standard error, first: %s", "", errorBytes, line);
        }
        std::fclose(errors);
    }
    return 0;
}

}  // namespace
}  // namespace glintward

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--peak-rss") == 0) return glintward::printPeakRss();
    if (argc > 1 && std::strcmp(argv[1], "--hostile") == 0) return glintward::runHostile(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
