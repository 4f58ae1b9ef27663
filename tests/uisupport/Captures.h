#pragma once
// Writes btsnoop captures (the monitor format btmon writes) of LE advertising reports, for replays that
// drive the real application in tests and benchmarks.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace glintward::testing {

struct AdvertisingDevice {
    std::string address;  // "AA:BB:CC:DD:EE:FF"
    std::string name;     // the complete local name
    int rssi;
};

// One stretch of a capture: `ratePerDevice` reports per second from each device for `seconds`, the devices
// interleaved evenly; the RSSI wanders by a few dB so that every report changes what is shown.
struct CapturePhase {
    std::vector<AdvertisingDevice> devices;
    double seconds;
    double ratePerDevice;
};

// The phases one after the other.
inline void writeCapture(const std::string& path, const std::vector<CapturePhase>& phases) {
    std::vector<std::uint8_t> out;
    const auto be32 = [&](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
    };
    const char magic[] = "btsnoop";
    out.insert(out.end(), magic, magic + 8);  // with its NUL
    be32(1);
    be32(2001);  // Linux monitor
    // btsnoop counts microseconds from year 0; the replay paces by differences only.
    std::uint64_t start = 0x00E03AB44A676000ULL + 1700000000ULL * 1000000ULL;
    for (const auto& [devices, seconds, ratePerDevice] : phases) {
        const auto total =
            static_cast<std::size_t>(static_cast<double>(devices.size()) * ratePerDevice * seconds);
        const double stepUs = 1e6 / (static_cast<double>(devices.size()) * ratePerDevice);
        for (std::size_t i = 0; i < total; ++i) {
            const AdvertisingDevice& d = devices[i % devices.size()];
            std::vector<std::uint8_t> data{0x02, 0x01, 0x06, static_cast<std::uint8_t>(d.name.size() + 1),
                                           0x09};
            data.insert(data.end(), d.name.begin(), d.name.end());
            std::vector<std::uint8_t> params{0x02, 0x01, 0x00, 0x01};  // one ADV_IND report, random address
            for (int b = 5; b >= 0; --b) {
                params.push_back(
                    static_cast<std::uint8_t>(std::stoul(d.address.substr(b * 3, 2), nullptr, 16)));
            }
            params.push_back(static_cast<std::uint8_t>(data.size()));
            params.insert(params.end(), data.begin(), data.end());
            params.push_back(
                static_cast<std::uint8_t>(static_cast<std::int8_t>(d.rssi + static_cast<int>(i % 7) - 3)));
            std::vector<std::uint8_t> event{0x3E, static_cast<std::uint8_t>(params.size())};
            event.insert(event.end(), params.begin(), params.end());
            const std::uint64_t t = start + static_cast<std::uint64_t>(static_cast<double>(i) * stepUs);
            be32(static_cast<std::uint32_t>(event.size()));
            be32(static_cast<std::uint32_t>(event.size()));
            be32(0x0003);  // adapter 0, opcode "event"
            be32(0);
            be32(static_cast<std::uint32_t>(t >> 32));
            be32(static_cast<std::uint32_t>(t));
            out.insert(out.end(), event.begin(), event.end());
        }
        start += static_cast<std::uint64_t>(seconds * 1e6);
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
}

inline void writeCapture(const std::string& path, const std::vector<AdvertisingDevice>& devices, int seconds,
                         int ratePerDevice) {
    writeCapture(path, {{devices, static_cast<double>(seconds), static_cast<double>(ratePerDevice)}});
}

}  // namespace glintward::testing
