#include "app/BoundedSystemLog.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/app/Crowd.h"

namespace glintward {

// Found by GoogleTest in the verdict's own namespace.
void PrintTo(const LineLimiter::Verdict& v, std::ostream* os) {
    *os << (v.writeLine ? "line" : "no line");
    if (v.leftOut) *os << " + left out " << v.leftOut->lines << " over " << v.leftOut->overMs << " ms";
}

namespace {

using LeftOut = LineLimiter::LeftOut;
using Verdict = LineLimiter::Verdict;

const Verdict LINE{true, std::nullopt};
const Verdict NOTHING{};
Verdict report(std::uint64_t lines, std::int64_t overMs) { return {false, LeftOut{lines, overMs}}; }

TEST(LineLimiter, WritesEachKeyOnceAMinuteAndOneLineASecondAndReportsWhatItLeftOut) {
    struct Offer {
        std::int64_t atMs;
        const char* key;
        Verdict verdict;
    };
    struct Case {
        const char* name;
        std::vector<Offer> offers;
        std::optional<LeftOut> pendingAfter;
    };
    const std::vector<Case> cases = {
        {"a second between any two lines",
         {{0, "A", LINE}, {999, "B", NOTHING}, {1000, "B", LINE}, {1999, "C", NOTHING}},
         LeftOut{2, 1000}},
        {"a minute between two lines of one key, a new key meanwhile",
         {{0, "A", LINE}, {30'000, "A", NOTHING}, {59'999, "A", NOTHING}, {59'999, "B", LINE},
          {60'999, "A", LINE}},
         LeftOut{2, 30'999}},
        {"the report takes the first turn a minute after the first line left out",
         {{0, "A", LINE}, {500, "A", NOTHING}, {60'499, "B", LINE}, {60'500, "C", NOTHING},
          {61'499, "C", report(2, 60'999)}, {62'499, "C", LINE}},
         LeftOut{1, 1000}},
        {"nothing left out, nothing to report", {{0, "A", LINE}, {120'000, "A", LINE}}, std::nullopt},
    };
    for (const auto& [name, offers, pendingAfter] : cases) {
        SCOPED_TRACE(name);
        std::int64_t now = 0;
        LineLimiter limiter([&] { return now; });
        for (const auto& [atMs, key, verdict] : offers) {
            now = atMs;
            EXPECT_EQ(limiter.offer(key), verdict) << key << " at " << atMs;
        }
        EXPECT_EQ(limiter.takeLeftOut(), pendingAfter);
        EXPECT_EQ(limiter.takeLeftOut(), std::nullopt);  // told once
    }
}

// Only keys written are remembered, at most one a second: a minute's worth of other keys must not push out the
// one written a minute ago.
TEST(LineLimiter, RemembersEveryKeyWrittenInTheLastMinute) {
    std::int64_t now = 0;
    LineLimiter limiter([&] { return now; });
    ASSERT_TRUE(limiter.offer("A").writeLine);
    for (int i = 1; i <= 58; ++i) {
        now = i * 1000;
        ASSERT_TRUE(limiter.offer("other-" + std::to_string(i)).writeLine) << i;
    }
    now = 59'999;
    EXPECT_FALSE(limiter.offer("A").writeLine);
    now = 60'000;
    EXPECT_TRUE(limiter.offer("A").writeLine);
}

struct Written {
    std::int64_t atMs;
    std::string key;  // empty for a report
    std::uint64_t leftOut = 0;
};

struct Outcome {
    std::vector<Written> lines;
    std::uint64_t offered = 0;
    std::uint64_t pending = 0;  // left out, not yet reported
};

using Traffic = std::function<void(const std::function<void(std::int64_t, const std::string&)>&)>;

Outcome run(const Traffic& traffic) {
    std::int64_t now = 0;
    LineLimiter limiter([&] { return now; });
    Outcome out;
    traffic([&](std::int64_t atMs, const std::string& key) {
        now = atMs;
        ++out.offered;
        const Verdict verdict = limiter.offer(key);
        if (verdict.leftOut) out.lines.push_back({atMs, "", verdict.leftOut->lines});
        if (verdict.writeLine) out.lines.push_back({atMs, key});
    });
    if (const auto rest = limiter.takeLeftOut()) out.pending = rest->lines;
    return out;
}

// The bounds hold whatever the traffic, every line is accounted for, and no turn is wasted.
TEST(LineLimiter, BoundsHoldForEveryKindOfTraffic) {
    constexpr std::int64_t TEN_MINUTES = 600'000;
    struct Case {
        const char* name;
        Traffic traffic;
        std::function<void(const Outcome&)> check;
    };
    const std::vector<Case> cases = {
        {"one device ten times a second: its line once a minute",
         [](const auto& offer) {
             for (std::int64_t t = 0; t < TEN_MINUTES; t += 100) offer(t, "A");
         },
         [](const Outcome& out) {
             std::size_t lines = 0;
             for (const auto& line : out.lines) lines += line.key == "A";
             EXPECT_EQ(lines, 10u);
         }},
        {"a new address every millisecond: a turn every second, a report every minute",
         [](const auto& offer) { testing::rotatingMatches(TEN_MINUTES, 1000, offer); },
         [](const Outcome& out) {
             EXPECT_EQ(out.lines.size(), 600u);
             std::size_t reports = 0;
             for (const auto& line : out.lines) reports += line.key.empty();
             EXPECT_EQ(reports, 9u);
         }},
        {"70 addresses in turn, one a second: each a minute apart, so all are written",
         [](const auto& offer) {
             for (std::int64_t n = 0; n < TEN_MINUTES / 1000; ++n) offer(n * 1000, "key-" + std::to_string(n % 70));
         },
         [](const Outcome& out) { EXPECT_EQ(out.lines.size(), out.offered); }},
        {"a busy room: at most 30 lines in any minute",
         [](const auto& offer) { testing::crowdMatches(3 * TEN_MINUTES, 22, offer); },
         [](const Outcome& out) {
             for (std::size_t first = 0, last = 0; last < out.lines.size(); ++last) {
                 while (out.lines[last].atMs - out.lines[first].atMs >= 60'000) ++first;
                 ASSERT_LE(last - first + 1, 30u) << "in the minute up to " << out.lines[last].atMs;
             }
         }},
    };
    for (const auto& [name, traffic, check] : cases) {
        SCOPED_TRACE(name);
        const Outcome out = run(traffic);
        std::uint64_t accounted = out.pending;
        std::optional<std::int64_t> lastReport;
        std::map<std::string, std::int64_t> lastOfKey;
        for (std::size_t i = 0; i < out.lines.size(); ++i) {
            const Written& line = out.lines[i];
            if (i > 0) {
                ASSERT_GE(line.atMs - out.lines[i - 1].atMs, LineLimiter::LINE_INTERVAL_MS) << i;
            }
            if (line.key.empty()) {
                if (lastReport) {
                    ASSERT_GE(line.atMs - *lastReport, LineLimiter::LEFT_OUT_INTERVAL_MS) << i;
                }
                lastReport = line.atMs;
                accounted += line.leftOut;
                continue;
            }
            ++accounted;
            if (const auto it = lastOfKey.find(line.key); it != lastOfKey.end()) {
                ASSERT_GE(line.atMs - it->second, LineLimiter::PER_KEY_INTERVAL_MS) << line.key;
            }
            lastOfKey[line.key] = line.atMs;
        }
        EXPECT_EQ(accounted, out.offered);
        check(out);
    }
}

// Match lines come from the engine's queue and could come from any thread: each offer is decided once.
TEST(LineLimiter, OffersFromSeveralThreadsAreEachCountedOnce) {
    std::atomic<std::int64_t> now{0};
    LineLimiter limiter([&] { return now.fetch_add(1); });  // a millisecond an offer
    constexpr int THREADS = 4, OFFERS = 20'000;
    std::atomic<std::uint64_t> accounted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < OFFERS; ++i) {
                const Verdict verdict = limiter.offer("key-" + std::to_string(t) + "-" + std::to_string(i % 100));
                accounted += verdict.writeLine + (verdict.leftOut ? verdict.leftOut->lines : 0);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    if (const auto rest = limiter.takeLeftOut()) accounted += rest->lines;
    EXPECT_EQ(accounted.load(), std::uint64_t{THREADS * OFFERS});
}

TEST(BoundedSystemLog, ReportsWhatItLeftOutInOnePlainLine) {
    struct Case {
        LeftOut leftOut;
        bool fileKeepsAll;
        const char* line;
    };
    for (const auto& [leftOut, fileKeepsAll, line] : {
             Case{{1, 0}, true, "match: 1 line left out of the system log in the last 1 s (all are in the log file)"},
             Case{{3512, 60'000}, false, "match: 3512 lines left out of the system log in the last 60 s"},
             Case{{2, 60'001}, false, "match: 2 lines left out of the system log in the last 61 s"},
         }) {
        EXPECT_EQ(BoundedSystemLog::leftOutLine(leftOut, fileKeepsAll), line);
    }
}

// Other lines pass as they are; match lines pass the limiter, the report in a line's turn, and what is still
// left out is told on request (at exit).
TEST(BoundedSystemLog, BoundsOnlyMatchLines) {
    const auto recording = std::make_shared<RecordingSystemLog>();
    std::int64_t now = 0;
    BoundedSystemLog log(recording, false, [&] { return now; });
    log.info("startScanning requested", "radar");
    log.matchInfo("match: a", "radar", "A");
    log.matchInfo("match: a again", "radar", "A");
    log.info("heard #2: name=- ids=[] uuids=0 rssi=-70", "radar");
    now = 61'000;
    log.matchInfo("match: b", "radar", "B");  // the report's turn
    log.matchInfo("match: b again", "radar", "B");
    log.reportLeftOut();
    log.reportLeftOut();
    using Line = RecordingSystemLog::Line;
    EXPECT_EQ(recording->lines(),
              (std::vector<Line>{{"startScanning requested", "radar"},
                                 {"match: a", "radar"},
                                 {"heard #2: name=- ids=[] uuids=0 rssi=-70", "radar"},
                                 {"match: 1 line left out of the system log in the last 61 s", "radar"},
                                 {"match: 2 lines left out of the system log in the last 1 s", "radar"}}));
}

}  // namespace
}  // namespace glintward
