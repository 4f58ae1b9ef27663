// Captures are files anyone can hand over, and feeds anyone can pipe in: whatever the bytes, the reader ends
// cleanly or at a fault, reads the same reports in any pieces the bytes arrive in (with "nothing yet" between
// them) and again after a restart, and every report it gives is well formed. The same bytes also go to the
// advertising data parser on their own.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "app/platform/SnoopCapture.h"

using namespace glintward;
using namespace glintward::snoop;

namespace {

// Hands the bytes out in pieces of changing sizes, with "nothing yet" before each.
class PieceSource final : public ByteSource {
public:
    explicit PieceSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    Read read(std::span<std::uint8_t> into) override {
        later_ = !later_;
        if (later_) return {Read::Kind::LATER};
        if (at_ == bytes_.size()) return {Read::Kind::END};
        static constexpr std::size_t PIECES[] = {1, 3, 24, 257, 4096};
        const std::size_t count = std::min({into.size(), bytes_.size() - at_, PIECES[turn_++ % 5]});
        std::memcpy(into.data(), bytes_.data() + at_, count);
        at_ += count;
        return {Read::Kind::DATA, count};
    }
    void rewind() { at_ = 0; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
    std::size_t turn_ = 0;
    bool later_ = false;
};

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// The forms the scanner expects: "FD5F", "0000FD5F" or the 36-character form, upper-case.
bool wellFormedUuid(const std::string& uuid) {
    if (uuid.size() != 4 && uuid.size() != 8 && uuid.size() != 36) return false;
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        const bool dash = uuid.size() == 36 && (i == 8 || i == 13 || i == 18 || i == 23);
        if (dash ? uuid[i] != '-' : !isHex(uuid[i])) return false;
    }
    return true;
}

bool wellFormed(const AdvertisementData& data) {
    if (data.serviceUuids) {
        if (data.serviceUuids->empty()) return false;
        if (!std::all_of(data.serviceUuids->begin(), data.serviceUuids->end(), wellFormedUuid)) return false;
    }
    if (data.txPowerLevel && (*data.txPowerLevel < -128 || *data.txPowerLevel > 127)) return false;
    // At most one structure's worth: 254 bytes.
    if (data.manufacturerData && data.manufacturerData->size() > 254) return false;
    if (data.localName && data.localName->find('\0') != std::string::npos) return false;
    return true;
}

bool wellFormed(const AdvertisingReport& report) {
    if (report.address.size() != 17 || report.rssi < -128 || report.rssi > 127) return false;
    for (std::size_t i = 0; i < 17; ++i) {
        if (i % 3 == 2 ? report.address[i] != ':' : !isHex(report.address[i])) return false;
    }
    return wellFormed(report.data);
}

bool same(const AdvertisingReport& a, const AdvertisingReport& b) {
    return a.timestampUs == b.timestampUs && a.address == b.address && a.data == b.data && a.rssi == b.rssi;
}

CaptureReader::Step nextNow(CaptureReader& reader, AdvertisingReport& report) {
    CaptureReader::Step step;
    while ((step = reader.next(report)) == CaptureReader::Step::LATER) {
    }
    return step;
}

// Reads the bytes at once and in pieces side by side; false when the two differ anywhere.
bool readsAlike(std::span<const std::uint8_t> bytes, CaptureReader& piecewise) {
    MemorySource whole(bytes);
    CaptureReader reader(whole);
    AdvertisingReport expected;
    AdvertisingReport report;
    for (;;) {
        const CaptureReader::Step step = reader.next(expected);
        if (step == CaptureReader::Step::LATER) return false;  // memory is never "not yet"
        if (nextNow(piecewise, report) != step) return false;
        if (step == CaptureReader::Step::END) break;
        if (!wellFormed(expected) || !same(expected, report)) return false;
    }
    return reader.fault() == piecewise.fault() && reader.reportsRead() == piecewise.reportsRead() &&
           nextNow(piecewise, report) == CaptureReader::Step::END;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    PieceSource pieces(bytes);
    CaptureReader piecewise(pieces);
    if (!readsAlike(bytes, piecewise)) __builtin_trap();
    pieces.rewind();
    piecewise.restart();
    if (!readsAlike(bytes, piecewise)) __builtin_trap();

    if (!wellFormed(parseAdvertisingData(bytes))) __builtin_trap();
    return 0;
}
