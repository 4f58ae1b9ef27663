#pragma once
// Reads the LE advertising reports out of a btsnoop capture file.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/platform/BluetoothCentral.h"

namespace glintward::snoop {

constexpr std::uint32_t DATALINK_H4 = 1002;       // HCI UART, as Android writes it
constexpr std::uint32_t DATALINK_MONITOR = 2001;  // the Linux monitor format, as btmon -w writes it

struct AdvertisingReport {
    std::int64_t timestampUs = 0;  // the capture's own clock
    std::string address;           // "AA:BB:CC:DD:EE:FF"
    AdvertisementData data;
    std::int32_t rssi = 127;
};

struct Capture {
    std::vector<AdvertisingReport> reports;  // all of them up to the fault, if there is one
    std::optional<std::string> fault;        // what stopped the reading, with where
};

Capture readCapture(const std::string& path);

// The advertising data structures of one report; a structure that runs past the data ends it.
AdvertisementData parseAdvertisingData(std::span<const std::uint8_t> data);

}  // namespace glintward::snoop
