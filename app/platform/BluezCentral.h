#pragma once
// The Bluetooth central over BlueZ on the system D-Bus.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "app/platform/BluetoothCentral.h"
#include "app/platform/CentralSupport.h"

namespace glintward {

namespace detail {
class BluezWorker;
}

// How long the central waits for bluetoothd and between attempts. The defaults are the application's; tests
// shorten them.
struct BluezTiming {
    // For each discovery call; sd-bus would wait 25 s, while the user sees a radar that cannot hear.
    std::chrono::milliseconds replyTimeout{2000};
    // A start that failed is tried again after this, each further time twice as long, up to longestRetry.
    std::chrono::milliseconds firstRetry{500};
    std::chrono::milliseconds longestRetry{10000};
    // Wanted on a powered adapter with no session held this long: the state is resetting until one is.
    std::chrono::milliseconds resettingAfter{3000};
    // A session that ran this long before bluetoothd ended it is started again at once; sooner, the restart
    // backs off as a failed start does.
    std::chrono::milliseconds stableAfter{10000};
};

// Follows BlueZ's adapters and devices through its object manager, on a thread of its own with a D-Bus connection
// of its own. While the owner wants to scan, it holds a discovery session on one powered adapter (the one in use
// for as long as it stays powered and its starts do not fail three times in a row, else the next powered one in
// path order): it starts discovery again when
// bluetoothd ends it, retries a start that fails or goes unanswered with a growing delay, and after a stop or a
// change of adapter ends its session as soon as any call still outstanding has answered. The state is powered on
// while any adapter is powered, except that it is resetting while a wanted session cannot be held (from
// resettingAfter on, until discovery runs again); the owner's wish lasts through resetting. Each
// advertisement bluetoothd reports (a new device that carries RSSI, or a change that carries RSSI,
// ManufacturerData, ServiceData or TxPower) is one discovery with the device's merged properties. Under load the
// thread reads the bus in bursts and hands discoveries to the callback queue in batches, so a discovery may reach
// the delegate up to 50 ms after bluetoothd sent it.
class BluezCentral final : public BluetoothCentral {
public:
    // An empty bus address means the system bus (DBUS_SYSTEM_BUS_ADDRESS when that is set). The logger takes the
    // faults, each kind once per episode (from the first fault until a session has lasted or the wish ends),
    // and one line when discovery runs again after them; the ordinary answers of BlueZ are not faults.
    BluezCentral(CentralDelegate& delegate, SerialQueue& callbackQueue, std::string busAddress = {},
                 std::string serviceName = "org.bluez", CentralLogger logger = {}, BluezTiming timing = {});
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
