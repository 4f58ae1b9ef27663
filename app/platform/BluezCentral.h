#pragma once
// The Bluetooth central over BlueZ on the system D-Bus.

#include <memory>
#include <mutex>
#include <string>

#include "app/platform/BluetoothCentral.h"
#include "app/platform/CentralSupport.h"

namespace glintward {

namespace detail {
class BluezWorker;
}

// Follows BlueZ's adapters and devices through its object manager, on a thread of its own with a D-Bus connection
// of its own. The first adapter (in path order) is the one used; its Powered property gives the state. Each
// advertisement bluetoothd reports (a new device that carries RSSI, or a change that carries RSSI,
// ManufacturerData, ServiceData or TxPower) is one discovery with the device's merged properties. Under load the
// thread reads the bus in bursts and hands discoveries to the callback queue in batches, so a discovery may reach
// the delegate up to 50 ms after bluetoothd sent it.
class BluezCentral final : public BluetoothCentral {
public:
    // An empty bus address means the system bus (DBUS_SYSTEM_BUS_ADDRESS when that is set). The logger takes one
    // line per fault; the ordinary answers of BlueZ are not faults.
    BluezCentral(CentralDelegate& delegate, SerialQueue& callbackQueue, std::string busAddress = {},
                 std::string serviceName = "org.bluez", CentralLogger logger = {});
    ~BluezCentral() override;
    BluezCentral(const BluezCentral&) = delete;
    BluezCentral& operator=(const BluezCentral&) = delete;

    CentralState state() const override { return gate_.state(); }
    void scanForPeripherals(bool allowDuplicates) override;
    void stopScan() override;

private:
    central::CallbackGate gate_;
    std::unique_ptr<detail::BluezWorker> worker_;
    std::mutex scanMutex_;
};

}  // namespace glintward
