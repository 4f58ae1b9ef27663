#include "app/platform/SnoopCapture.h"

#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace glintward::snoop {

namespace {

constexpr std::size_t FILE_HEADER_BYTES = 16;
constexpr std::size_t RECORD_HEADER_BYTES = 24;
// An HCI event is at most 257 bytes, an ACL packet some 64 KiB; a larger length is a damaged header, and
// what follows it is no record.
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

MemorySource::Read MemorySource::read(std::span<std::uint8_t> into) {
    if (bytes_.empty()) return {Read::Kind::END};
    const std::size_t count = std::min(into.size(), bytes_.size());
    std::memcpy(into.data(), bytes_.data(), count);
    bytes_ = bytes_.subspan(count);
    return {Read::Kind::DATA, count};
}

CaptureReader::CaptureReader(ByteSource& source)
    : source_(source), buffer_(std::make_unique<std::uint8_t[]>(BUFFER_BYTES)) {}

void CaptureReader::restart() {
    begin_ = end_ = 0;
    sourceEnded_ = false;
    state_ = State::FILE_HEADER;
    offset_ = 0;
    fault_.reset();
    reportsRead_ = 0;
}

CaptureReader::Fill CaptureReader::fill(std::size_t count) {
    while (end_ - begin_ < count) {
        if (sourceEnded_) return Fill::END;
        // What is left is less than a record header or an event, so moving it costs little.
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        const ByteSource::Read read = source_.read(std::span(buffer_.get() + end_, BUFFER_BYTES - end_));
        switch (read.kind) {
            case ByteSource::Read::Kind::DATA:
                end_ += std::min(read.count, BUFFER_BYTES - end_);
                break;
            case ByteSource::Read::Kind::LATER:
                return Fill::LATER;
            case ByteSource::Read::Kind::END:
                sourceEnded_ = true;
                break;
            case ByteSource::Read::Kind::ERROR:
                sourceEnded_ = true;
                fault_ = std::string("cannot read: ") + std::strerror(read.error);
                return Fill::END;
        }
    }
    return Fill::READY;
}

CaptureReader::Step CaptureReader::fail(std::string fault) {
    state_ = State::DONE;
    if (!fault_) fault_ = std::move(fault);
    return Step::END;
}

std::string CaptureReader::where() const {
    return " at byte " + std::to_string(offset_);
}

void CaptureReader::endRecord() {
    offset_ += RECORD_HEADER_BYTES + included_;
    state_ = State::RECORD_HEADER;
}

CaptureReader::Step CaptureReader::next(AdvertisingReport& report) {
    for (;;) {
        switch (state_) {
            case State::FILE_HEADER: {
                const Fill fill = this->fill(FILE_HEADER_BYTES);
                if (fill == Fill::LATER) return Step::LATER;
                if (fill == Fill::END) return fail("truncated file header");
                const std::uint8_t* header = buffer_.get() + begin_;
                if (std::memcmp(header, "btsnoop\0", 8) != 0) return fail("not a btsnoop file");
                if (be32(header + 8) != 1) {
                    return fail("unsupported btsnoop version " + std::to_string(be32(header + 8)));
                }
                datalink_ = be32(header + 12);
                if (datalink_ != DATALINK_H4 && datalink_ != DATALINK_MONITOR) {
                    return fail("unsupported datalink " + std::to_string(datalink_));
                }
                begin_ += FILE_HEADER_BYTES;
                offset_ = FILE_HEADER_BYTES;
                state_ = State::RECORD_HEADER;
                break;
            }
            case State::RECORD_HEADER: {
                const Fill fill = this->fill(RECORD_HEADER_BYTES);
                if (fill == Fill::LATER) return Step::LATER;
                if (fill == Fill::END) {
                    if (end_ == begin_ && !fault_) {  // the clean end
                        state_ = State::DONE;
                        return Step::END;
                    }
                    return fail("truncated record header" + where());
                }
                const std::uint8_t* record = buffer_.get() + begin_;
                included_ = be32(record + 4);
                flags_ = be32(record + 8);
                timestampUs_ = static_cast<std::int64_t>(be64(record + 16));
                if (included_ > MAX_RECORD_BYTES) {
                    return fail("record length " + std::to_string(included_) + where());
                }
                begin_ += RECORD_HEADER_BYTES;
                keptBytes_ = std::min<std::size_t>(included_, MAX_KEPT_BYTES);
                skipping_ = included_ - static_cast<std::uint32_t>(keptBytes_);
                state_ = State::RECORD_KEEP;
                break;
            }
            case State::RECORD_KEEP: {
                const Fill fill = this->fill(keptBytes_);
                if (fill == Fill::LATER) return Step::LATER;
                if (fill == Fill::END) return fail("truncated record" + where());
                std::memcpy(kept_.data(), buffer_.get() + begin_, keptBytes_);
                begin_ += keptBytes_;
                state_ = State::RECORD_SKIP;
                break;
            }
            case State::RECORD_SKIP:
                // An event is never longer than what is kept; the rest of a longer record is passed over
                // without being held.
                while (skipping_ > 0) {
                    const Fill fill = this->fill(1);
                    if (fill == Fill::LATER) return Step::LATER;
                    if (fill == Fill::END) return fail("truncated record" + where());
                    const std::size_t count = std::min<std::size_t>(skipping_, end_ - begin_);
                    begin_ += count;
                    skipping_ -= static_cast<std::uint32_t>(count);
                }
                if (!startEvent()) return Step::END;
                break;
            case State::EVENT:
                if (reportsLeft_ == 0) {
                    endRecord();
                    break;
                }
                return nextOfEvent(report);
            case State::DONE:
                return Step::END;
        }
    }
}

// Takes up the event of the record just read, if it is one with advertising reports; false at a fault.
bool CaptureReader::startEvent() {
    std::span<const std::uint8_t> event;
    const std::span<const std::uint8_t> packet(kept_.data(), keptBytes_);
    if (datalink_ == DATALINK_H4) {
        if (!packet.empty() && packet[0] == H4_EVENT) event = packet.subspan(1);
    } else if ((flags_ & 0xFFFF) == MONITOR_EVENT) {
        event = packet;
    }
    if (event.empty()) {
        endRecord();
        return true;
    }
    if (event.size() < 2 || event.size() - 2 < event[1]) {
        fail("event longer than its record" + where());
        return false;
    }
    const std::span<const std::uint8_t> params = event.subspan(2, event[1]);
    if (event[0] != LE_META_EVENT || params.empty() ||
        (params[0] != LE_ADVERTISING_REPORT && params[0] != LE_EXTENDED_ADVERTISING_REPORT)) {
        endRecord();
        return true;
    }
    if (params.size() < 2) {
        fail("advertising report without its count" + where());
        return false;
    }
    params_ = params;
    extended_ = params[0] == LE_EXTENDED_ADVERTISING_REPORT;
    reportsLeft_ = params[1];
    at_ = 2;
    state_ = State::EVENT;
    return true;
}

CaptureReader::Step CaptureReader::nextOfEvent(AdvertisingReport& report) {
    // Legacy: type, address type, address, data length, data, RSSI. Extended: type (2), address type,
    // address, two PHYs, SID, Tx power, RSSI, interval (2), direct address type and address, data length,
    // data.
    const std::size_t fixed = extended_ ? 24 : 9;
    if (params_.size() - at_ < fixed) return fail("advertising report cut short" + where());
    const std::uint8_t* fields = params_.data() + at_;
    const std::size_t dataLength = fields[fixed - 1];
    const std::size_t total = fixed + dataLength + (extended_ ? 0 : 1);
    if (params_.size() - at_ < total) return fail("advertising data longer than its report" + where());
    report.timestampUs = timestampUs_;
    report.address = addressText(fields + (extended_ ? 3 : 2));
    report.data = parseAdvertisingData(params_.subspan(at_ + fixed, dataLength));
    report.rssi = static_cast<std::int8_t>(extended_ ? fields[13] : fields[fixed + dataLength]);
    at_ += total;
    --reportsLeft_;
    ++reportsRead_;
    return Step::REPORT;
}

}  // namespace glintward::snoop
