// Signature bundles arrive from the network and from a store on disk: whatever the bytes, decoding either
// yields a catalogue or throws BundleDecodingError, and the patterns of a catalogue that decoded run over any
// name in linear time.

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    SignatureBundleDto dto;
    try {
        dto = SignatureBundleJson::parse(text);
    } catch (const BundleDecodingError&) {
        return 0;
    }
    const auto database = SignatureBundleJson::toDatabase(dto);
    if (database->version() != dto.version || database->signatures().size() != dto.signatures.size()) {
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
