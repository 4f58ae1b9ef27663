#pragma once
// A Bluetooth central the tests drive by hand: it reports states and discoveries on the scanner's queue, as a
// real one would, and counts the scan calls.

#include <atomic>
#include <memory>

#include "app/platform/BluetoothCentral.h"
#include "app/platform/SerialQueue.h"

namespace glintward::testing {

class FakeCentral : public BluetoothCentral {
public:
    struct Shared {
        std::atomic<FakeCentral*> central{nullptr};
        std::atomic<int> created{0};
        std::atomic<int> scans{0};
        std::atomic<int> stops{0};
        CentralState initialState = CentralState::POWERED_ON;
    };

    // A factory for the scanner; `shared` lets the test reach the central once it exists.
    static auto factory(std::shared_ptr<Shared> shared) {
        return [shared](CentralDelegate& delegate, SerialQueue& queue) -> std::unique_ptr<BluetoothCentral> {
            auto central = std::make_unique<FakeCentral>(delegate, queue, shared);
            shared->central = central.get();
            ++shared->created;
            central->setState(shared->initialState);
            return central;
        };
    }

    FakeCentral(CentralDelegate& delegate, SerialQueue& queue, std::shared_ptr<Shared> shared)
        : delegate_(delegate), queue_(queue), shared_(std::move(shared)) {}
    ~FakeCentral() override { shared_->central = nullptr; }

    CentralState state() const override { return state_; }
    void scanForPeripherals(bool allowDuplicates) override {
        if (allowDuplicates) ++shared_->scans;
    }
    void stopScan() override { ++shared_->stops; }

    // Both deliver on the queue, after whatever is already queued.
    void setState(CentralState state) {
        queue_.async([this, state] {
            state_ = state;
            delegate_.centralDidUpdateState(state);
        });
    }
    void discover(Peripheral peripheral, AdvertisementData data, std::int32_t rssi) {
        queue_.async([this, peripheral = std::move(peripheral), data = std::move(data), rssi] {
            delegate_.centralDidDiscover(peripheral, data, rssi);
        });
    }

private:
    CentralDelegate& delegate_;
    SerialQueue& queue_;
    std::shared_ptr<Shared> shared_;
    CentralState state_ = CentralState::UNKNOWN;
};

}  // namespace glintward::testing
