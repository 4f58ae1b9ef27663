#pragma once
// A Bluetooth central that replays the LE advertising reports of a btsnoop capture, for machines without
// Bluetooth.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "app/platform/BluetoothCentral.h"
#include "app/platform/CentralSupport.h"

namespace glintward {

// Always powered on. Each scan that starts replays the capture from its first report, paced by the capture's
// time stamps divided by the speed factor (infinity: no waiting); a scan asked for while one runs only
// changes the duplicates option. The peripheral's name is the last local name heard from its address in this
// replay. A file that is missing, truncated or malformed replays what comes before the fault, which the
// logger gets in one line.
class SnoopReplayCentral final : public BluetoothCentral {
public:
    SnoopReplayCentral(CentralDelegate& delegate, SerialQueue& callbackQueue, std::string path,
                       double speed = 1.0, CentralLogger logger = {});
    ~SnoopReplayCentral() override;
    SnoopReplayCentral(const SnoopReplayCentral&) = delete;
    SnoopReplayCentral& operator=(const SnoopReplayCentral&) = delete;

    CentralState state() const override { return gate_.state(); }
    void scanForPeripherals(bool allowDuplicates) override;
    void stopScan() override;

private:
    void run();

    central::CallbackGate gate_;
    const std::string path_;
    const double speed_;
    const CentralLogger log_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    bool scanning_ = false;
    std::uint64_t scans_ = 0;  // counts the scans started, so the replay thread sees a new one begin
    std::thread thread_;
};

}  // namespace glintward
