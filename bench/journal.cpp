// What match lines cost a real journal, with every line sent ("every line") and with the journal's bounds
// ("bounded"). Run it beside a journald of its own:
//   scripts/private-journal build/bench/bench_journal [--app SECONDS]
// First, in simulated time (the bounds' clock is the traffic's): an hour of a busy room (400 devices at 300
// advertisements a second, 4 of them glasses, addresses rotating every 2 to 5 minutes), and a transmitter that
// sends a matching advertisement under a new address 200 and 2,000 times a second; for each, the lines and
// bytes the journal took, per hour. Then, with --app, the whole detection loop in real time (a fake central,
// the real scanner, model and log road) for SECONDS a side with the busy room: the most match lines the journal
// received in one minute, and its bytes per hour.

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/AppPreferences.h"
#include "app/BoundedSystemLog.h"
#include "app/RadarLog.h"
#include "app/RadarModel.h"
#include "tests/app/Crowd.h"
#include "bench/QuietSeams.h"
#include "tests/app/FakeCentral.h"
#include "tests/app/PrivateJournal.h"
#include "tests/platform/TempDir.h"

using namespace glintward;

namespace {

int phases = 0;

struct Taken {
    std::size_t entries = 0;
    std::size_t matchLines = 0;
    std::size_t mostMatchLinesInAMinute = 0;  // by the journal's own clock
    std::uint64_t bytes = 0;
};

// Waits until the journal holds everything this process sent since the last phase, and measures it.
Taken endPhase(const std::filesystem::path& dir, testing::JournalReader& reader, std::uint64_t bytesBefore) {
    const std::string end = "journal bench: end of phase " + std::to_string(++phases);
    JournalLog().info(end, "");
    const std::size_t timesBefore = reader.realtimesUs().size();
    const auto entries = reader.entriesUpTo(end, std::chrono::minutes(2));
    Taken taken;
    taken.entries = entries.empty() ? 0 : entries.size() - 1;
    std::vector<std::uint64_t> matchTimes;
    for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
        if (entries[i].message.rfind("match: ", 0) != 0) continue;
        ++taken.matchLines;
        matchTimes.push_back(reader.realtimesUs()[timesBefore + i]);
    }
    for (std::size_t first = 0, last = 0; last < matchTimes.size(); ++last) {
        while (matchTimes[last] - matchTimes[first] >= 60'000'000) ++first;
        taken.mostMatchLinesInAMinute = std::max(taken.mostMatchLinesInAMinute, last - first + 1);
    }
    taken.bytes = testing::journalBytesUsed(dir) - bytesBefore;
    return taken;
}

std::string matchLine(std::mt19937& random) {
    return "match: Ray-Ban Meta glasses confidence=0.95 rssi=-" + std::to_string(40 + random() % 56);
}

// Simulated time: the traffic's matches straight to the journal, or through the bounds on the traffic's clock.
template <class Traffic>
void simulated(const char* name, double hours, const std::filesystem::path& dir, testing::JournalReader& reader,
               Traffic traffic) {
    for (const bool bounded : {false, true}) {
        std::mt19937 random(5);
        std::int64_t now = 0;
        const auto journal = std::make_shared<JournalLog>();
        BoundedSystemLog log(journal, false, [&] { return now; });
        std::size_t offered = 0;
        const std::uint64_t bytesBefore = testing::journalBytesUsed(dir);
        traffic([&](std::int64_t atMs, const std::string& address) {
            now = atMs;
            ++offered;
            const std::string line = matchLine(random);
            bounded ? log.matchInfo(line, "radar", address) : journal->info(line, "radar");
        });
        const Taken taken = endPhase(dir, reader, bytesBefore);
        std::printf("%-40s %-11s %9zu matches: %9.0f journal lines/h, %8.3f MB/h, %4.0f B a line\n", name,
                    bounded ? "bounded" : "every line", offered, static_cast<double>(taken.entries) / hours,
                    static_cast<double>(taken.bytes) / hours / 1e6,
                    taken.entries ? static_cast<double>(taken.bytes) / static_cast<double>(taken.entries) : 0.0);
    }
}

// Real time: the whole loop with the busy room for `seconds`, through the log road as it stands.
void wholeLoop(QCoreApplication& app, int seconds, bool bounded, const std::filesystem::path& dir,
               testing::JournalReader& reader) {
    // The road as the application has it, or every line to the journal as it was before the bounds.
    const auto previous = RadarLog::replaceSystemLog(
        bounded ? std::shared_ptr<SystemLog>(std::make_shared<BoundedSystemLog>(std::make_shared<JournalLog>(), false))
                : std::make_shared<JournalLog>());
    glintward::testing::TempDir home;
    UserDefaults defaults(home.path() / "defaults.json");
    AppPreferences preferences(defaults);
    auto central = std::make_shared<glintward::testing::FakeCentral::Shared>();
    RadarModel::Seams seams = bench::quietSeams(central);
    auto model = std::make_unique<RadarModel>(preferences, std::move(seams));
    model->startScanning();
    while (central->scans == 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    auto* fake = central->central.load();

    const std::uint64_t bytesBefore = testing::journalBytesUsed(dir);
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> matches{0};
    std::thread producer([&] {
        constexpr int DEVICES = 400, GLASSES = 4, PER_SECOND = 300;
        std::mt19937 random(11);
        std::uniform_int_distribution<std::int64_t> rotationMs(120'000, 300'000);
        std::vector<int> generation(DEVICES, 0);
        std::vector<std::int64_t> rotateAtMs(DEVICES);
        for (auto& at : rotateAtMs) at = rotationMs(random) * static_cast<std::int64_t>(random() % 100) / 100;
        const auto start = std::chrono::steady_clock::now();
        for (std::int64_t n = 0; !stop; ++n) {
            const auto due = start + std::chrono::microseconds(1'000'000 * n / PER_SECOND);
            std::this_thread::sleep_until(due);
            const std::int64_t nowMs = 1000 * n / PER_SECOND;
            const int d = static_cast<int>(random() % DEVICES);
            if (nowMs >= rotateAtMs[d]) {
                ++generation[d];
                rotateAtMs[d] = nowMs + rotationMs(random);
            }
            char address[40];
            std::snprintf(address, sizeof address, "00000000-0000-5000-%04d-%012d", d, generation[d]);
            AdvertisementData data;
            const bool glasses = d < GLASSES;
            data.localName = glasses ? "Ray-Ban Meta" : "Galaxy S23";
            data.manufacturerData = glasses ? std::vector<std::uint8_t>{0x8E, 0x05}
                                            : std::vector<std::uint8_t>{0x75, 0x00};
            matches += glasses;
            fake->discover(Peripheral{address, std::nullopt}, data, -40 - static_cast<int>(random() % 56));
        }
    });
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    stop = true;
    producer.join();
    model->stopScanning();
    model.reset();
    const Taken taken = endPhase(dir, reader, bytesBefore);
    const double hours = seconds / 3600.0;
    std::printf("whole loop, busy room, %4d s, %-11s %6zu matches: %5zu match lines in the journal, at most %zu "
                "in one minute; %8.3f MB/h\n",
                seconds, bounded ? "bounded" : "every line", matches.load(), taken.matchLines,
                taken.mostMatchLinesInAMinute, static_cast<double>(taken.bytes) / hours / 1e6);
    RadarLog::replaceSystemLog(previous);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const auto dir = testing::privateJournal();
    if (!dir) {
        std::fprintf(stderr, "run it under scripts/private-journal\n");
        return 2;
    }
    int appSeconds = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--app") == 0) appSeconds = std::atoi(argv[i + 1]);
    }
    testing::JournalReader reader(*dir);
    simulated("busy room, 1 h", 1.0, *dir, reader,
              [](const auto& each) { testing::crowdMatches(3'600'000, 22, each); });
    simulated("new address 200/s, 5 min", 5.0 / 60, *dir, reader,
              [](const auto& each) { testing::rotatingMatches(300'000, 200, each); });
    simulated("new address 2,000/s, 1 min", 1.0 / 60, *dir, reader,
              [](const auto& each) { testing::rotatingMatches(60'000, 2000, each); });
    if (appSeconds > 0) {
        wholeLoop(app, appSeconds, false, *dir, reader);
        wholeLoop(app, appSeconds, true, *dir, reader);
    }
    return 0;
}
