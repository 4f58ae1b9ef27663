#pragma once
// A bounded hand-over between a producer that must never wait (the radio's queue) and a consumer that may fall
// behind (the engine). When full, each new item sheds the oldest one waiting; what the consumer has taken is
// no longer waiting. Shedding is counted and reported
// through a callback at most once a second while it lasts; what was shed after the last report is reported once
// the consumer catches up, or at the next shedding, a second or more after that report.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace glintward {

template <class Item>
class BoundedInlet {
public:
    using Clock = std::function<std::int64_t()>;  // steady milliseconds
    // Told how many items were shed since its previous call, and how many in all.
    using Report = std::function<void(std::uint64_t shedSinceLastReport, std::uint64_t shedInAll)>;
    static constexpr std::int64_t REPORT_INTERVAL_MS = 1000;

    BoundedInlet(std::size_t capacity, Clock nowMs, Report report)
        : capacity_(capacity == 0 ? 1 : capacity), nowMs_(std::move(nowMs)), report_(std::move(report)) {}

    // Producer side. True when the consumer is idle and must be asked to drain (once, until take() finds the
    // inlet empty again).
    bool push(Item item) {
        std::optional<std::pair<std::uint64_t, std::uint64_t>> due;
        std::optional<Item> shed;  // destroyed after the lock is let go
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            if (items_.size() >= capacity_) {
                shed.emplace(std::move(items_.front()));
                items_.pop_front();
                ++shed_;
                ++unreported_;
                due = takeReportIfDue();
            }
            items_.push_back(std::move(item));
            wake = !draining_;
            draining_ = true;
        }
        if (due) report_(due->first, due->second);
        return wake;
    }

    // Consumer side: moves up to `most` of the oldest items waiting into `out`, under one lock. False when
    // nothing was waiting; the next push then asks for a drain again.
    bool take(std::vector<Item>& out, std::size_t most) {
        std::optional<std::pair<std::uint64_t, std::uint64_t>> due;
        {
            std::lock_guard lock(mutex_);
            if (!items_.empty()) {
                const std::size_t n = std::min(most, items_.size());
                for (std::size_t i = 0; i < n; ++i) {
                    out.push_back(std::move(items_.front()));
                    items_.pop_front();
                }
                return true;
            }
            draining_ = false;
            if (unreported_ > 0) due = takeReportIfDue();
        }
        if (due) report_(due->first, due->second);
        return false;
    }

    std::size_t capacity() const { return capacity_; }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    std::uint64_t shed() const {
        std::lock_guard lock(mutex_);
        return shed_;
    }

private:
    // Under the lock; the clock is read only while something is left to report.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> takeReportIfDue() {
        const std::int64_t now = nowMs_();
        if (lastReportMs_ && now - *lastReportMs_ < REPORT_INTERVAL_MS) return std::nullopt;
        lastReportMs_ = now;
        return std::pair{std::exchange(unreported_, 0), shed_};
    }

    const std::size_t capacity_;
    const Clock nowMs_;
    const Report report_;
    mutable std::mutex mutex_;
    std::deque<Item> items_;
    bool draining_ = false;  // a drain has been asked for and has not yet found the inlet empty
    std::uint64_t shed_ = 0;
    std::uint64_t unreported_ = 0;
    std::optional<std::int64_t> lastReportMs_;
};

}  // namespace glintward
