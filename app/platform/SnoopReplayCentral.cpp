#include "app/platform/SnoopReplayCentral.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>

#include "app/platform/SnoopCapture.h"

namespace glintward {

namespace {
// Keeps a damaged time stamp from overflowing the clock arithmetic; about 31 years.
constexpr double MAX_DELAY_US = 1e15;
}  // namespace

SnoopReplayCentral::SnoopReplayCentral(CentralDelegate& delegate, SerialQueue& callbackQueue,
                                       std::string path, double speed, CentralLogger logger)
    : gate_(delegate, callbackQueue),
      path_(std::move(path)),
      speed_(speed > 0 ? speed : 1.0),  // NaN, zero and negative factors fall back to real time
      log_(central::orStderr(std::move(logger))) {
    gate_.reportState(CentralState::POWERED_ON);
    thread_ = std::thread([this] { run(); });
}

SnoopReplayCentral::~SnoopReplayCentral() {
    gate_.close();
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void SnoopReplayCentral::scanForPeripherals(bool allowDuplicates) {
    gate_.scanStarted(allowDuplicates);
    {
        std::lock_guard lock(mutex_);
        if (scanning_) return;
        scanning_ = true;
        ++scans_;
    }
    wake_.notify_all();
}

void SnoopReplayCentral::stopScan() {
    gate_.scanStopped();
    {
        std::lock_guard lock(mutex_);
        scanning_ = false;
    }
    wake_.notify_all();
}

void SnoopReplayCentral::run() {
    // Read on this thread, so that a large capture does not hold up the creator.
    const snoop::Capture capture = snoop::readCapture(path_);
    if (capture.fault) {
        log_("replay: " + path_ + ": " + *capture.fault + " (" + std::to_string(capture.reports.size()) +
             " advertising reports before it)");
    }
    std::map<std::string, std::string> identifiers;  // address to identifier, computed once each
    std::unique_lock lock(mutex_);
    std::uint64_t replayed = 0;
    for (;;) {
        wake_.wait(lock, [&] { return quit_ || (scanning_ && scans_ != replayed); });
        if (quit_) return;
        replayed = scans_;
        const auto start = std::chrono::steady_clock::now();
        std::map<std::string, std::string> names;  // address to the last local name heard in this replay
        for (const snoop::AdvertisingReport& report : capture.reports) {
            const double offsetUs = static_cast<double>(report.timestampUs) -
                                    static_cast<double>(capture.reports.front().timestampUs);
            const double delayUs = std::clamp(offsetUs / speed_, 0.0, MAX_DELAY_US);
            const auto due = start + std::chrono::microseconds(static_cast<std::int64_t>(delayUs));
            if (wake_.wait_until(lock, due, [&] { return quit_ || !scanning_ || scans_ != replayed; })) break;
            lock.unlock();
            if (report.data.localName) names[report.address] = *report.data.localName;
            auto [known, added] = identifiers.try_emplace(report.address);
            if (added) known->second = central::peripheralIdentifier(report.address);
            std::optional<std::string> name;
            if (const auto it = names.find(report.address); it != names.end()) name = it->second;
            gate_.reportDiscovery(Peripheral{known->second, std::move(name)}, report.data, report.rssi);
            lock.lock();
        }
        // A scan that ended or began anew during the replay is taken up by the wait above.
    }
}

}  // namespace glintward
