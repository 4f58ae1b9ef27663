#include "app/platform/SnoopCapture.h"

#include <QString>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace glintward::snoop {

namespace {

constexpr std::size_t FILE_HEADER_BYTES = 16;
constexpr std::size_t RECORD_HEADER_BYTES = 24;
// An HCI event is at most 257 bytes, an ACL packet some 64 KiB; a larger length is a damaged header, and
// believing it would mean allocating whatever it says.
constexpr std::uint32_t MAX_RECORD_BYTES = 1U << 20;
constexpr std::uint8_t H4_EVENT = 0x04;
constexpr std::uint16_t MONITOR_EVENT = 0x0003;
constexpr std::uint8_t LE_META_EVENT = 0x3E;
constexpr std::uint8_t LE_ADVERTISING_REPORT = 0x02;
constexpr std::uint8_t LE_EXTENDED_ADVERTISING_REPORT = 0x0D;

std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::uint64_t be64(const std::uint8_t* p) {
    return std::uint64_t{be32(p)} << 32 | be32(p + 4);
}

std::string hex(const char* format, std::uint64_t value) {
    char text[40];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(value));
    return text;
}

// HCI writes the address least significant byte first.
std::string addressText(const std::uint8_t* p) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", p[5], p[4], p[3], p[2], p[1], p[0]);
    return text;
}

std::string uuid128Text(const std::uint8_t* p) {
    std::string text;
    for (int i = 15; i >= 0; --i) {
        text += hex("%02llX", p[i]);
        if (i == 12 || i == 10 || i == 8 || i == 6) text += '-';
    }
    return text;
}

// Names come from any radio nearby: cut at a NUL as bluetoothd does, and make them valid UTF-8.
std::string nameText(std::span<const std::uint8_t> bytes) {
    std::size_t length = 0;
    while (length < bytes.size() && bytes[length] != 0) ++length;
    return QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(length))
        .toStdString();
}

// Takes the LE advertising reports of one HCI event; false, with the fault, when the event is malformed.
bool readEvent(std::span<const std::uint8_t> event, std::int64_t timestampUs,
               std::vector<AdvertisingReport>& out, std::string& fault) {
    if (event.size() < 2 || event.size() - 2 < event[1]) {
        fault = "event longer than its record";
        return false;
    }
    if (event[0] != LE_META_EVENT || event[1] < 1) return true;
    const std::span<const std::uint8_t> params = event.subspan(2, event[1]);
    const std::uint8_t subevent = params[0];
    if (subevent != LE_ADVERTISING_REPORT && subevent != LE_EXTENDED_ADVERTISING_REPORT) return true;
    if (params.size() < 2) {
        fault = "advertising report without its count";
        return false;
    }
    const bool extended = subevent == LE_EXTENDED_ADVERTISING_REPORT;
    // Legacy: type, address type, address, data length, data, RSSI. Extended: type (2), address type,
    // address, two PHYs, SID, Tx power, RSSI, interval (2), direct address type and address, data length,
    // data.
    const std::size_t fixed = extended ? 24 : 9;
    std::size_t at = 2;
    for (unsigned i = 0; i < params[1]; ++i) {
        if (params.size() - at < fixed) {
            fault = "advertising report cut short";
            return false;
        }
        const std::uint8_t* report = params.data() + at;
        const std::uint8_t* address = report + (extended ? 3 : 2);
        const std::size_t dataLength = report[fixed - 1];
        const std::size_t total = fixed + dataLength + (extended ? 0 : 1);
        if (params.size() - at < total) {
            fault = "advertising data longer than its report";
            return false;
        }
        AdvertisingReport parsed;
        parsed.timestampUs = timestampUs;
        parsed.address = addressText(address);
        parsed.data = parseAdvertisingData(params.subspan(at + fixed, dataLength));
        parsed.rssi = static_cast<std::int8_t>(extended ? report[13] : report[fixed + dataLength]);
        out.push_back(std::move(parsed));
        at += total;
    }
    return true;
}

}  // namespace

AdvertisementData parseAdvertisingData(std::span<const std::uint8_t> data) {
    AdvertisementData result;
    std::optional<std::string> shortName;
    std::size_t at = 0;
    while (at < data.size()) {
        const std::size_t length = data[at];
        if (length == 0 || data.size() - at - 1 < length)
            break;  // padding, or a structure running past the end
        const std::uint8_t type = data[at + 1];
        const std::span<const std::uint8_t> value = data.subspan(at + 2, length - 1);
        at += 1 + length;
        switch (type) {
            case 0x02:
            case 0x03:
            case 0x04:
            case 0x05:
            case 0x06:
            case 0x07: {
                const std::size_t width = type <= 0x03 ? 2 : type <= 0x05 ? 4 : 16;
                auto& uuids = result.serviceUuids;
                for (std::size_t i = 0; i + width <= value.size(); i += width) {
                    const std::uint8_t* p = value.data() + i;
                    if (!uuids) uuids.emplace();
                    if (width == 2) {
                        uuids->push_back(hex("%04llX", std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8));
                    } else if (width == 4) {
                        uuids->push_back(hex("%08llX", std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                                           std::uint32_t{p[2]} << 16 |
                                                           std::uint32_t{p[3]} << 24));
                    } else {
                        uuids->push_back(uuid128Text(p));
                    }
                }
                break;
            }
            case 0x08:
                shortName = nameText(value);
                break;
            case 0x09:
                result.localName = nameText(value);
                break;
            case 0x0A:
                if (!value.empty()) result.txPowerLevel = static_cast<std::int8_t>(value[0]);
                break;
            case 0xFF:
                // One block, as CoreBluetooth gives: the first.
                if (!result.manufacturerData) result.manufacturerData.emplace(value.begin(), value.end());
                break;
            default:
                break;
        }
    }
    if (!result.localName) result.localName = std::move(shortName);
    return result;
}

Capture readCapture(const std::string& path) {
    Capture capture;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        capture.fault = std::string("cannot open: ") + std::strerror(errno);
        return capture;
    }
    std::uint8_t header[FILE_HEADER_BYTES];
    if (!file.read(reinterpret_cast<char*>(header), sizeof header)) {
        capture.fault = "truncated file header";
        return capture;
    }
    if (std::memcmp(header, "btsnoop\0", 8) != 0) {
        capture.fault = "not a btsnoop file";
        return capture;
    }
    if (be32(header + 8) != 1) {
        capture.fault = "unsupported btsnoop version " + std::to_string(be32(header + 8));
        return capture;
    }
    const std::uint32_t datalink = be32(header + 12);
    if (datalink != DATALINK_H4 && datalink != DATALINK_MONITOR) {
        capture.fault = "unsupported datalink " + std::to_string(datalink);
        return capture;
    }
    std::uint64_t offset = FILE_HEADER_BYTES;
    std::vector<std::uint8_t> packet;
    for (;;) {
        std::uint8_t record[RECORD_HEADER_BYTES];
        file.read(reinterpret_cast<char*>(record), sizeof record);
        if (file.gcount() == 0) break;  // the clean end
        const std::string where = " at byte " + std::to_string(offset);
        if (file.gcount() < static_cast<std::streamsize>(sizeof record)) {
            capture.fault = "truncated record header" + where;
            break;
        }
        const std::uint32_t included = be32(record + 4);
        const std::uint32_t flags = be32(record + 8);
        const auto timestampUs = static_cast<std::int64_t>(be64(record + 16));
        if (included > MAX_RECORD_BYTES) {
            capture.fault = "record length " + std::to_string(included) + where;
            break;
        }
        packet.resize(included);
        if (!file.read(reinterpret_cast<char*>(packet.data()), included)) {
            capture.fault = "truncated record" + where;
            break;
        }
        std::span<const std::uint8_t> event;
        if (datalink == DATALINK_H4) {
            if (!packet.empty() && packet[0] == H4_EVENT) event = std::span(packet).subspan(1);
        } else if ((flags & 0xFFFF) == MONITOR_EVENT) {
            event = packet;
        }
        std::string fault;
        if (!event.empty() && !readEvent(event, timestampUs, capture.reports, fault)) {
            capture.fault = fault + where;
            break;
        }
        offset += RECORD_HEADER_BYTES + included;
    }
    return capture;
}

}  // namespace glintward::snoop
