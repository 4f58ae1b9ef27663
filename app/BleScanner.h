#pragma once
// Listens for Bluetooth LE advertisements through the platform's central and turns each one into a
// BleAdvertisement for its owner. It never connects to a device (the scan itself is active). Every central
// callback, the conversion and both owner callbacks run on its serial queue "glintward.ble".

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "app/platform/BluetoothCentral.h"
#include "app/platform/SerialQueue.h"
#include "shared/detection/Records.h"

namespace glintward {

class BleScanner : public CentralDelegate {
public:
    using CentralFactory = std::function<std::unique_ptr<BluetoothCentral>(CentralDelegate&, SerialQueue&)>;
    using Clock = std::function<std::int64_t()>;

    // Set by the owner before the first start(); called on the scanner's queue.
    std::function<void(const BleAdvertisement&)> onAdvertisement;
    std::function<void(CentralState)> onStateChange;

    explicit BleScanner(CentralFactory makeCentral = defaultCentral(), Clock nowMs = wallClockMs);
    // The central that fits the environment, its diagnostic lines going to the radar log.
    static CentralFactory defaultCentral();
    ~BleScanner() override;

    // Owner's thread. The first start creates the central; scanning begins once it reports powered on.
    void start();
    void stop();

    // Converts one discovery; nothing when the RSSI is 127 (not available).
    static std::optional<BleAdvertisement> convert(const Peripheral& peripheral, const AdvertisementData& data,
                                                   std::int32_t rssi, std::int64_t timestampMs);
    static std::int64_t wallClockMs();

    void centralDidUpdateState(CentralState state) override;
    void centralDidDiscover(const Peripheral& peripheral, const AdvertisementData& data, std::int32_t rssi) override;

private:
    void beginScanIfReady();

    CentralFactory makeCentral_;
    Clock nowMs_;
    // Confined to queue_: start() and stop() do their work there, so no lock is needed and the central is
    // recorded before its first state callback can run.
    std::unique_ptr<BluetoothCentral> central_;
    bool wantScanning_ = false;
    SerialQueue queue_{"glintward.ble"};
};

}  // namespace glintward
