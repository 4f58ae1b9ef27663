#pragma once
// The Bluetooth LE central role as the scanner uses it: a state, a scan for every service, and two callbacks.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace glintward {

class SerialQueue;

// The central's state, numbered as the scanner expects: powered on is 5.
enum class CentralState : int {
    UNKNOWN = 0,
    RESETTING = 1,
    UNSUPPORTED = 2,
    UNAUTHORIZED = 3,
    POWERED_OFF = 4,
    POWERED_ON = 5
};

// Text for the "bluetooth state: " log line, e.g. "poweredOn".
std::string_view centralStateText(CentralState state);

struct Peripheral {
    std::string identifier;  // UUID text, 36 characters, upper-case hexadecimal
    std::optional<std::string> name;

    friend bool operator==(const Peripheral&, const Peripheral&) = default;
};

// The advertisement-data dictionary: each entry present only when advertised.
struct AdvertisementData {
    std::optional<std::string> localName;
    std::optional<std::vector<std::uint8_t>> manufacturerData;  // company ID first, little-endian
    std::optional<std::vector<std::string>>
        serviceUuids;  // "FD5F", "0000FD5F" or the 36-character form, upper-case
    std::optional<std::int32_t> txPowerLevel;

    friend bool operator==(const AdvertisementData&, const AdvertisementData&) = default;
};

// Every call arrives on the callback queue given at creation, one at a time.
class CentralDelegate {
public:
    virtual ~CentralDelegate() = default;
    virtual void centralDidUpdateState(CentralState state) = 0;
    // rssi 127: not available.
    virtual void centralDidDiscover(const Peripheral& peripheral, const AdvertisementData& data,
                                    std::int32_t rssi) = 0;
};

// The first state callback comes soon after creation, then one per change. Destroying the central stops every
// callback: none runs after the destructor returns. A stopped scan delivers nothing more, and a scan ends by
// itself when the state leaves powered on; it is the owner's part to scan again. Resetting is the exception: a
// central reports it while it cannot keep a wanted scan running and keeps trying, so the scan carries on when
// powered on comes back, and the owner's scan request then changes nothing.
class BluetoothCentral {
public:
    virtual ~BluetoothCentral() = default;
    // The state last reported to the delegate (unknown before the first report); safe from any thread.
    virtual CentralState state() const = 0;
    // Scans for every service; callable from any thread. Without duplicates each device is reported once per
    // scan.
    virtual void scanForPeripherals(bool allowDuplicates) = 0;
    virtual void stopScan() = 0;
};

using CentralLogger = std::function<void(std::string)>;

// Creates the central that fits the environment: SnoopReplayCentral when GLINTWARD_REPLAY names a file, else
// BluezCentral on the system bus. The logger takes the central's diagnostic lines (standard error when empty).
std::unique_ptr<BluetoothCentral> makeBluetoothCentral(CentralDelegate& delegate, SerialQueue& callbackQueue,
                                                       CentralLogger logger = {});

// Why the capture that GLINTWARD_REPLAY names cannot be replayed (missing, unreadable, a folder), as one line
// for the user; nothing when it can be or when none is named. Nothing is opened, so a FIFO's writer waiting for
// its reader is not woken by the check.
std::optional<std::string> replayCaptureProblem();

}  // namespace glintward
