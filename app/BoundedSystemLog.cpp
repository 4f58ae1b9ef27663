#include "app/BoundedSystemLog.h"

#include <algorithm>
#include <chrono>

namespace glintward {

LineLimiter::LineLimiter(std::function<std::int64_t()> clockMs) : clockMs_(std::move(clockMs)) {}

LineLimiter::Verdict LineLimiter::offer(std::string_view key) {
    std::lock_guard lock(mutex_);
    const std::int64_t now = clockMs_();
    if (lastWrittenMs_ && now - *lastWrittenMs_ < LINE_INTERVAL_MS) {
        leaveOut(now);
        return {};
    }
    if (leftOutLines_ > 0 && now - firstLeftOutMs_ >= LEFT_OUT_INTERVAL_MS) {
        // The report takes this turn; the line waits for a later one like any other left out.
        Verdict verdict{false, takeLeftOutAt(now)};
        lastWrittenMs_ = now;
        leaveOut(now);
        return verdict;
    }
    const std::size_t hash = std::hash<std::string_view>{}(key);
    if (writtenRecently(hash, key, now)) {
        leaveOut(now);
        return {};
    }
    Written& slot = written_[next_];
    slot.hash = hash;
    slot.key.assign(key);  // reuses the slot's buffer once the ring has gone round
    slot.atMs = now;
    next_ = (next_ + 1) % REMEMBERED;
    filled_ = std::max(filled_, next_ == 0 ? REMEMBERED : next_);
    lastWrittenMs_ = now;
    return {true, std::nullopt};
}

std::optional<LineLimiter::LeftOut> LineLimiter::takeLeftOut() {
    std::lock_guard lock(mutex_);
    if (leftOutLines_ == 0) return std::nullopt;
    return takeLeftOutAt(clockMs_());
}

bool LineLimiter::writtenRecently(std::size_t hash, std::string_view key, std::int64_t nowMs) const {
    for (std::size_t i = 0; i < filled_; ++i) {
        const Written& entry = written_[i];
        if (entry.hash == hash && nowMs - entry.atMs < PER_KEY_INTERVAL_MS && entry.key == key) return true;
    }
    return false;
}

void LineLimiter::leaveOut(std::int64_t nowMs) {
    if (leftOutLines_++ == 0) firstLeftOutMs_ = nowMs;
}

LineLimiter::LeftOut LineLimiter::takeLeftOutAt(std::int64_t nowMs) {
    const LeftOut leftOut{leftOutLines_, nowMs - firstLeftOutMs_};
    leftOutLines_ = 0;
    return leftOut;
}

BoundedSystemLog::BoundedSystemLog(std::shared_ptr<SystemLog> log, bool fileKeepsAll,
                                   std::function<std::int64_t()> clockMs)
    : log_(std::move(log)), fileKeepsAll_(fileKeepsAll), limiter_(std::move(clockMs)) {}

void BoundedSystemLog::info(std::string_view message, std::string_view category) {
    log_->info(message, category);
}

void BoundedSystemLog::matchInfo(std::string_view message, std::string_view category, std::string_view address) {
    const LineLimiter::Verdict verdict = limiter_.offer(address);
    if (verdict.leftOut) log_->info(leftOutLine(*verdict.leftOut, fileKeepsAll_), category);
    if (verdict.writeLine) log_->info(message, category);
}

void BoundedSystemLog::reportLeftOut() {
    if (const auto leftOut = limiter_.takeLeftOut()) log_->info(leftOutLine(*leftOut, fileKeepsAll_), "radar");
}

std::string BoundedSystemLog::leftOutLine(const LineLimiter::LeftOut& leftOut, bool fileKeepsAll) {
    // Whole seconds, rounded up, so the span named holds every line counted.
    const std::int64_t seconds = std::max<std::int64_t>(1, (leftOut.overMs + 999) / 1000);
    return "match: " + std::to_string(leftOut.lines) + (leftOut.lines == 1 ? " line" : " lines") +
           " left out of the system log in the last " + std::to_string(seconds) + " s" +
           (fileKeepsAll ? " (all are in the log file)" : "");
}

std::int64_t BoundedSystemLog::steadyClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace glintward
