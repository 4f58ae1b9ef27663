#pragma once
// A Bluetooth central that replays the LE advertising reports of a btsnoop capture, for machines without
// Bluetooth.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "app/platform/BluetoothCentral.h"
#include "app/platform/CentralSupport.h"

namespace glintward {

// When each report of a replay is due: its time stamp relative to a base report's, divided by the speed,
// after the moment the base was read. The first report is the base; so is a report that would wait more than
// MAX_WAIT after the one before it, or that is stamped before it, so that one damaged time stamp (or two
// captures joined) never stalls a replay, nor lets everything after a jump back pour out at once. An infinite
// speed makes every report due when it is read. Time is given, never read, so the arithmetic can be tried
// without waiting.
class ReplayPacing {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds MAX_WAIT{10};

    explicit ReplayPacing(double speed) : speed_(speed) {}
    // The next report is the first of a new replay.
    void restart() { started_ = false; }

    struct Due {
        Clock::time_point at;
        // The pacing began anew at this report, which is not the replay's first; its time stamp lies
        // jumpSeconds after the one before it (before it, when negative).
        bool rebased = false;
        double jumpSeconds = 0.0;
    };
    // The next report, in capture order, with its time stamp, read at `now`.
    Due next(std::int64_t timestampUs, Clock::time_point now);
    // When the report that the pacing counts from was read.
    Clock::time_point base() const { return base_; }

private:
    const double speed_;
    bool started_ = false;
    Clock::time_point base_;
    std::int64_t baseUs_ = 0;
    std::int64_t lastUs_ = 0;
};

// Always powered on. The capture is read as it is replayed, on a thread of its own, so memory stays small
// whatever its size, and it is never read blocking, so destroying the central never waits for input.
//
// A regular file: each scan that starts replays it from its first report, paced by the capture's time stamps
// divided by the speed factor (infinity: no waiting; see ReplayPacing). Anything else (a pipe, a FIFO,
// a terminal) is a live feed, read from the first scan on: each scan paces from its own first report, and
// what the feed brings while no scan runs is read and dropped, as a radio that is not scanning hears nothing,
// so the writer is never held up and a new scan starts with fresh reports. Once a feed has ended, scans bring
// nothing. A scan asked for while one runs only changes the duplicates option.
//
// The replay wakes at most once per HAND_OVER_STEP of replay time, and every report due by then reaches the
// callback queue together, in one hop (at most MAX_BATCH to a hop): a crowd of thousands of advertisements a
// second costs fifty wake-ups, not one each, for a delay of at most one step (the BlueZ central gathers
// for longer). The replay waits while MAX_IN_FLIGHT reports are queued and not yet delivered, so a consumer
// that falls behind holds up the replay instead of letting the queue grow. The peripheral's name is the last
// local name heard from its address in this replay, of the last MAX_ADDRESSES addresses heard. A file that is
// missing, truncated or malformed replays what comes before the fault, which the logger gets in one line,
// once. The logger also gets each place where the pacing begins anew, up to MAX_REBASE_LINES of them. Each
// replay that reaches the end of its capture says so on standard error, whatever the logger is, so that
// someone watching a demonstration knows why the radio went quiet.
class SnoopReplayCentral final : public BluetoothCentral {
public:
    static constexpr std::size_t MAX_BATCH = 256;
    static constexpr std::size_t MAX_IN_FLIGHT = 1024;
    static constexpr std::size_t MAX_ADDRESSES = 4096;
    static constexpr std::chrono::milliseconds HAND_OVER_STEP{20};
    static constexpr int MAX_REBASE_LINES = 10;

    SnoopReplayCentral(CentralDelegate& delegate, SerialQueue& callbackQueue, std::string path,
                       double speed = 1.0, CentralLogger logger = {});
    ~SnoopReplayCentral() override;
    SnoopReplayCentral(const SnoopReplayCentral&) = delete;
    SnoopReplayCentral& operator=(const SnoopReplayCentral&) = delete;

    CentralState state() const override { return gate_.state(); }
    void scanForPeripherals(bool allowDuplicates) override;
    void stopScan() override;
    // The hops to the callback queue that discoveries have taken so far.
    std::uint64_t handOvers() const { return gate_.handOvers(); }

private:
    class Replay;
    struct Control {
        bool quit;
        bool scanning;
        std::uint64_t scan;
    };

    Control control();
    void ring();

    central::CallbackGate gate_;
    const std::string path_;
    const double speed_;
    const CentralLogger log_;
    int doorbell_ = -1;  // an eventfd: the replay thread's wake-up for any change below

    std::mutex mutex_;
    bool quit_ = false;
    bool scanning_ = false;
    std::uint64_t scan_ = 0;  // the gate's generation of the scan running or last run, 0 before the first

    std::atomic<std::size_t> inFlight_{0};   // reports handed to the queue and not yet past the delegate
    std::atomic<bool> creditWanted_{false};  // the replay thread waits for inFlight_ to fall
    std::thread thread_;
};

}  // namespace glintward
