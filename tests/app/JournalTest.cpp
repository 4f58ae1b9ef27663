// Against a real systemd-journald: run under scripts/private-journal, which starts one of its own (ctest does);
// skipped elsewhere.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/BoundedSystemLog.h"
#include "app/RadarLog.h"
#include "tests/app/Crowd.h"
#include "tests/app/PrivateJournal.h"

namespace glintward {
namespace {

// Passes every line on to the journal and keeps what it passed.
class TeeLog final : public SystemLog {
public:
    void info(std::string_view message, std::string_view category) override {
        journal_.info(message, category);
        std::lock_guard lock(mutex_);
        sent_.push_back({std::string(message), "6", "glintward", "glintward", std::string(category)});
    }
    std::vector<testing::JournalEntry> sent() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }

private:
    JournalLog journal_;
    mutable std::mutex mutex_;
    std::vector<testing::JournalEntry> sent_;
};

// Ten minutes of a busy room's match lines through the log's road: the journal holds exactly the lines the
// bounds let through, each whole with its fields, at most 30 match lines a minute.
TEST(Journal, ABusyRoomLeavesFewMatchLinesInARealJournal) {
    const auto dir = testing::privateJournal();
    if (!dir) GTEST_SKIP() << "needs the journald of scripts/private-journal";
    constexpr std::int64_t MINUTES = 10;
    std::atomic<std::int64_t> now{0};
    const auto tee = std::make_shared<TeeLog>();
    const auto previous = RadarLog::replaceSystemLog(
        std::make_shared<BoundedSystemLog>(tee, false, [&] { return now.load(); }));
    std::size_t offered = 0;
    testing::crowdMatches(MINUTES * 60'000, 7, [&](std::int64_t atMs, const std::string& address) {
        now = atMs;
        ++offered;
        RadarLog::match("match: Ray-Ban Meta glasses confidence=0.95 rssi=-" + std::to_string(50 + offered % 40),
                        address);
    });
    const std::string end = "journal test: end of " + std::to_string(offered);
    RadarLog::info(end);
    RadarLog::replaceSystemLog(previous);

    testing::JournalReader reader(*dir);
    const auto entries = reader.entriesUpTo(end, std::chrono::seconds(30));
    ASSERT_FALSE(entries.empty()) << "the last line never reached the journal";
    EXPECT_EQ(entries, tee->sent());
    std::size_t matchLines = 0;
    for (const auto& entry : entries) matchLines += entry.message.rfind("match: ", 0) == 0;
    EXPECT_GT(offered, 1000u);
    EXPECT_GE(matchLines, 4u);  // each of the glasses at least once
    EXPECT_LE(matchLines, std::size_t{30 * MINUTES});
}

}  // namespace
}  // namespace glintward
