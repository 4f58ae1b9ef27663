#pragma once
// Writes small btsnoop captures for the replay tests: the file format, HCI framing and advertising data
// structures.

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace glintward::testing_support {

using Bytes = std::vector<std::uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Advertising data structures.
namespace ad {
inline Bytes structure(std::uint8_t type, const Bytes& value) {
    return Bytes{static_cast<std::uint8_t>(value.size() + 1), type} + value;
}
inline Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
inline Bytes completeName(const std::string& name) {
    return structure(0x09, text(name));
}
inline Bytes shortName(const std::string& name) {
    return structure(0x08, text(name));
}
inline Bytes manufacturer(const Bytes& companyFirst) {
    return structure(0xFF, companyFirst);
}
inline Bytes txPower(std::int8_t dbm) {
    return structure(0x0A, {static_cast<std::uint8_t>(dbm)});
}
inline Bytes flags() {
    return structure(0x01, {0x06});
}
inline Bytes uuids16(std::initializer_list<std::uint16_t> uuids) {
    Bytes value;
    for (auto u : uuids)
        value = value + Bytes{static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8)};
    return structure(0x03, value);
}
inline Bytes uuids32(std::initializer_list<std::uint32_t> uuids) {
    Bytes value;
    for (auto u : uuids) {
        value = value + Bytes{static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
                              static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 24)};
    }
    return structure(0x05, value);
}
// The 16 bytes as written in the UUID's text, most significant first; on air they go least significant first.
inline Bytes uuid128(Bytes bigEndian) {
    return structure(0x07, Bytes(bigEndian.rbegin(), bigEndian.rend()));
}
}  // namespace ad

// "AA:BB:CC:DD:EE:FF" as HCI writes it, least significant byte first.
inline Bytes hciAddress(const std::string& text) {
    Bytes address;
    for (int i = 5; i >= 0; --i)
        address.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i * 3, 2), nullptr, 16)));
    return address;
}

struct LegacyReport {
    std::uint8_t eventType;  // 0 ADV_IND ... 4 SCAN_RSP
    std::string address;
    Bytes data;
    std::int8_t rssi;
};

struct ExtendedReport {
    std::uint16_t eventType;
    std::string address;
    Bytes data;
    std::int8_t rssi;
    std::int8_t txPower = 127;  // the header's field, which CoreBluetooth does not give
};

// HCI events: code, parameter length, parameters.
inline Bytes hciEvent(std::uint8_t code, const Bytes& params) {
    return Bytes{code, static_cast<std::uint8_t>(params.size())} + params;
}

inline Bytes legacyReportEvent(const std::vector<LegacyReport>& reports) {
    Bytes params{0x02, static_cast<std::uint8_t>(reports.size())};
    for (const auto& r : reports) {
        params = params + Bytes{r.eventType, 0x01} + hciAddress(r.address) +
                 Bytes{static_cast<std::uint8_t>(r.data.size())} + r.data +
                 Bytes{static_cast<std::uint8_t>(r.rssi)};
    }
    return hciEvent(0x3E, params);
}

// As many reports without data as one event holds, all from one address: the most reports for the fewest
// bytes. The RSSIs count down from `firstRssi`.
constexpr int REPORTS_PER_FULL_EVENT = 25;
inline Bytes fullReportEvent(const std::string& address, int firstRssi) {
    std::vector<LegacyReport> reports;
    for (int i = 0; i < REPORTS_PER_FULL_EVENT; ++i)
        reports.push_back({0x00, address, {}, static_cast<std::int8_t>(firstRssi - i)});
    return legacyReportEvent(reports);
}

inline Bytes extendedReportEvent(const std::vector<ExtendedReport>& reports) {
    Bytes params{0x0D, static_cast<std::uint8_t>(reports.size())};
    for (const auto& r : reports) {
        params =
            params +
            Bytes{static_cast<std::uint8_t>(r.eventType), static_cast<std::uint8_t>(r.eventType >> 8), 0x01} +
            hciAddress(r.address) +
            Bytes{0x01, 0x00, 0xFF, static_cast<std::uint8_t>(r.txPower), static_cast<std::uint8_t>(r.rssi),
                  0x00, 0x00, 0x00} +
            Bytes(6, 0) + Bytes{static_cast<std::uint8_t>(r.data.size())} + r.data;
    }
    return hciEvent(0x3E, params);
}

class SnoopWriter {
public:
    static constexpr std::uint32_t H4 = 1002;
    static constexpr std::uint32_t MONITOR = 2001;

    explicit SnoopWriter(std::uint32_t datalink) : datalink_(datalink) {
        bytes_ = Bytes{'b', 't', 's', 'n', 'o', 'o', 'p', 0};
        be32(1);
        be32(datalink);
    }

    // One HCI event from the controller, framed as the datalink wants it.
    void event(std::int64_t timestampUs, const Bytes& event) {
        if (datalink_ == H4) {
            record(timestampUs, 0x03, Bytes{0x04} + event);
        } else {
            record(timestampUs, 0x0003, event);  // adapter index 0, opcode "event"
        }
    }
    // A packet that is not an event (an ACL packet, or in the monitor format a system note).
    void otherPacket(std::int64_t timestampUs) {
        if (datalink_ == H4) {
            record(timestampUs, 0x01, Bytes{0x02, 0x01, 0x20, 0x02, 0x00, 0xAA, 0xBB});
        } else {
            record(timestampUs, 0x000C, ad::text("note"));
        }
    }
    void record(std::int64_t timestampUs, std::uint32_t flags, const Bytes& packet,
                std::uint32_t includedLength = UINT32_MAX) {
        be32(static_cast<std::uint32_t>(packet.size()));
        be32(includedLength == UINT32_MAX ? static_cast<std::uint32_t>(packet.size()) : includedLength);
        be32(flags);
        be32(0);
        be32(static_cast<std::uint32_t>(static_cast<std::uint64_t>(timestampUs) >> 32));
        be32(static_cast<std::uint32_t>(timestampUs));
        bytes_.insert(bytes_.end(), packet.begin(), packet.end());
    }

    const Bytes& bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }
    // Writes the capture, or only its first `length` bytes.
    void save(const std::string& path, std::size_t length = SIZE_MAX) const {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes_.data()),
                  static_cast<std::streamsize>(std::min(length, bytes_.size())));
    }

private:
    void be32(std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(static_cast<std::uint8_t>(v >> shift));
    }

    std::uint32_t datalink_;
    Bytes bytes_;
};

}  // namespace glintward::testing_support
