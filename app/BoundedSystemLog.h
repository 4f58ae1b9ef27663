#pragma once
// The journal keeps info-level lines on disk, and a radio nearby decides how often a device's "match: " line
// comes: left alone, a crowd or a transmitter that changes its address at will could push the user's other
// logs out. So those lines reach the system log bounded, while the optional log file keeps them all.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "app/platform/SystemLog.h"

namespace glintward {

// Which lines of one kind may be written: each key (a device's address) at most once per PER_KEY_INTERVAL_MS,
// all keys together at most once per LINE_INTERVAL_MS; what is left out is counted and reported at most once
// per LEFT_OUT_INTERVAL_MS. The report takes a line's turn, so the kind never has more than one line per
// LINE_INTERVAL_MS in the log.
//
// Memory and cost stay fixed whatever the keys: only keys whose line was written are remembered, and the line
// interval lets at most PER_KEY_INTERVAL_MS / LINE_INTERVAL_MS of them be recent at once, so a small ring
// remembers every recent one exactly. A line that comes before its turn costs one comparison.
class LineLimiter {
public:
    static constexpr std::int64_t PER_KEY_INTERVAL_MS = 60'000;
    static constexpr std::int64_t LINE_INTERVAL_MS = 1'000;
    static constexpr std::int64_t LEFT_OUT_INTERVAL_MS = 60'000;

    // Lines left out since the last report: how many, and over how long (from the first of them).
    struct LeftOut {
        std::uint64_t lines = 0;
        std::int64_t overMs = 0;
        bool operator==(const LeftOut&) const = default;
    };

    // What to write for one offered line: the line itself, or in its place the report of what was left out,
    // or nothing.
    struct Verdict {
        bool writeLine = false;
        std::optional<LeftOut> leftOut;
        bool operator==(const Verdict&) const = default;
    };

    // `clockMs`: a monotonic clock in milliseconds, asked once per offered line.
    explicit LineLimiter(std::function<std::int64_t()> clockMs);

    // Thread-safe; waits for nothing but another offer.
    Verdict offer(std::string_view key);

    // What was left out and not yet reported, whatever the time (for the last line before exit).
    std::optional<LeftOut> takeLeftOut();

private:
    // One more than can be recent, since an entry is still recent at exactly PER_KEY_INTERVAL_MS - 1.
    static constexpr std::size_t REMEMBERED = PER_KEY_INTERVAL_MS / LINE_INTERVAL_MS + 1;

    struct Written {
        std::size_t hash = 0;
        std::string key;
        std::int64_t atMs = 0;
    };

    bool writtenRecently(std::size_t hash, std::string_view key, std::int64_t nowMs) const;
    void leaveOut(std::int64_t nowMs);
    LeftOut takeLeftOutAt(std::int64_t nowMs);

    std::function<std::int64_t()> clockMs_;
    std::mutex mutex_;
    std::optional<std::int64_t> lastWrittenMs_;  // of the line or report written last
    std::array<Written, REMEMBERED> written_{};  // a ring of the keys written last; the next goes to next_
    std::size_t next_ = 0;
    std::size_t filled_ = 0;
    std::uint64_t leftOutLines_ = 0;
    std::int64_t firstLeftOutMs_ = 0;
};

// A system log whose match lines pass a LineLimiter (on a steady clock unless given one) before they reach
// `log`; other lines pass unchanged. Thread-safe.
class BoundedSystemLog final : public SystemLog {
public:
    // `fileKeepsAll`: a log file takes every line, which the report then says.
    BoundedSystemLog(std::shared_ptr<SystemLog> log, bool fileKeepsAll,
                     std::function<std::int64_t()> clockMs = steadyClockMs);

    void info(std::string_view message, std::string_view category) override;
    void matchInfo(std::string_view message, std::string_view category, std::string_view address) override;

    // Writes the report of what was left out and not yet reported, if anything was.
    void reportLeftOut();

    // "match: 3 lines left out of the system log in the last 60 s (all are in the log file)"
    static std::string leftOutLine(const LineLimiter::LeftOut& leftOut, bool fileKeepsAll);

    static std::int64_t steadyClockMs();

private:
    std::shared_ptr<SystemLog> log_;
    bool fileKeepsAll_;
    LineLimiter limiter_;
};

}  // namespace glintward
