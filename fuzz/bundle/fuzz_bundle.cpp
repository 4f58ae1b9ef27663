// Signature bundles arrive from the network and from a store on disk: whatever the bytes, decoding and
// converting either yield a catalogue within the limits or throw BundleDecodingError, every text kept is
// well-formed UTF-8, and the patterns of a catalogue that decoded run over any name in linear time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shared/detection/SignatureDatabase.h"
#include "shared/sync/FingerprintSubmitter.h"
#include "shared/sync/SignatureBundle.h"

using namespace glintward;

namespace {

const std::vector<BleAdvertisement>& advertisements() {
    static const std::vector<BleAdvertisement> all{
        {"f1", "Ray-Ban Meta 0042", {1422}, {"0000fd5f-0000-1000-8000-00805f9b34fb"}, -60, 4, 0},
        {"f2", std::string(256, 'a') + "!", {76, 224}, {"FE45"}, -90, {}, 0},
        {"f3", std::string("x\xC3\xA9\xFF\0y", 6) + std::string(64, 'x'), {}, {}, -30, {}, 0},
        {"f4", std::nullopt, {0, 65535, -1}, {""}, 127, {}, 0},
    };
    return all;
}

// No stray continuation byte, overlong form, surrogate or code point above U+10FFFF.
bool isUtf8(std::string_view s) {
    static constexpr char32_t MIN[] = {0, 0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t length = 1;
        char32_t cp = lead;
        if (lead >= 0x80) {
            if ((lead & 0xE0) == 0xC0) {
                length = 2, cp = lead & 0x1F;
            } else if ((lead & 0xF0) == 0xE0) {
                length = 3, cp = lead & 0x0F;
            } else if ((lead & 0xF8) == 0xF0) {
                length = 4, cp = lead & 0x07;
            } else {
                return false;
            }
            if (i + length > s.size()) return false;
            for (std::size_t k = 1; k < length; ++k) {
                const auto c = static_cast<unsigned char>(s[i + k]);
                if ((c & 0xC0) != 0x80) return false;
                cp = (cp << 6) | (c & 0x3F);
            }
            if (cp < MIN[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        }
        i += length;
    }
    return true;
}

bool allUtf8(const SignatureBundleDto& dto) {
    auto all = [](const std::vector<std::string>& texts) {
        for (const auto& text : texts) {
            if (!isUtf8(text)) return false;
        }
        return true;
    };
    if (!all(dto.exclusionPatterns)) return false;
    for (const SignatureDto& s : dto.signatures) {
        if (!all({s.id, s.brand, s.displayName}) || !all(s.namePatterns) || !all(s.serviceUuids))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    SignatureBundleDto dto;
    try {
        dto = SignatureBundleJson::parse(text);
    } catch (const BundleDecodingError&) {
        return 0;
    }
    if (!allUtf8(dto)) __builtin_trap();
    std::shared_ptr<const SignatureDatabase> database;
    try {
        database = SignatureBundleJson::toDatabase(dto);
    } catch (const BundleDecodingError&) {
        return 0;  // the patterns cost more to compile than the budget allows
    }
    if (database->version() != dto.version || database->signatures().size() != dto.signatures.size() ||
        dto.signatures.size() > SignatureBundleJson::MAX_SIGNATURES) {
        __builtin_trap();
    }
    for (const MatchOptions& options : {MatchOptions{{}, true}, MatchOptions{{}, false}}) {
        for (const auto& advertisement : advertisements()) {
            const auto match = database->match(advertisement, options);
            if (!match) continue;
            // The reported name is always a part of the advertised one.
            const auto name = FingerprintSubmitter::sanitizedDeviceName(advertisement, *match);
            if (name && (!advertisement.name || advertisement.name->find(*name) == std::string::npos)) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
