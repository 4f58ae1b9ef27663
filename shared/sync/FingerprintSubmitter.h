#pragma once
// Reports to the signature service what a matched device advertised, so the catalogue can learn new models.
// A report carries only the part of the name that the signature's pattern recognised, at most 16 company IDs
// and 16 service UUIDs, a clamped RSSI and the signature's id; never the device address.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "shared/detection/Records.h"
#include "shared/detection/SignatureDatabase.h"
#include "shared/record/Record.h"
#include "shared/sync/HttpTransport.h"

namespace glintward {

// One report; its fields are also the members of the JSON document, in this order.
struct FingerprintDto {
    std::string platform = "android";
    std::string appVersion;
    std::optional<std::string> deviceName;
    std::vector<std::int32_t> companyIds;
    std::vector<std::string> serviceUuids;
    std::int32_t rssi = 0;
    std::optional<std::string> matchedSignatureId;
    std::string context = "unconfirmed";

    GLINTWARD_RECORD(FingerprintDto, platform, appVersion, deviceName, companyIds, serviceUuids, rssi,
                     matchedSignatureId, context)
};

GLINTWARD_ENUM(SubmitResult, SENT, SKIPPED_DUPLICATE, SKIPPED_CAP, FAILED);

// Each address is reported successfully at most once per submitter, and at most maxPerSession addresses are
// recorded at once (sent, or with a request still running); a failed report frees its slot. submit may be
// called from any thread; the one lock guards the recorded addresses and is never held during a request.
class FingerprintSubmitter {
public:
    // The cap for callers without one of their own.
    static constexpr std::int32_t DEFAULT_MAX_PER_SESSION = 20;

    // maxPerSession is not validated: zero or less makes every report SKIPPED_CAP.
    FingerprintSubmitter(std::string baseUrl, std::string appVersion,
                         std::shared_ptr<HttpTransport> transport, std::int32_t maxPerSession);

    // Blocks for the duration of the request: one POST of the report to base URL + "/v1/fingerprints".
    SubmitResult submit(const BleAdvertisement& advertisement, const SignatureMatch& match);

    // The first occurrence, as written in the name, of the first of the signature's name patterns found
    // anywhere in the advertised name; absent without a name or when no pattern is found.
    static std::optional<std::string> sanitizedDeviceName(const BleAdvertisement& advertisement,
                                                          const SignatureMatch& match);

private:
    static constexpr std::size_t MAX_LIST_ITEMS = 16;

    void forget(const std::string& address);

    const std::string baseUrl_;
    const std::string appVersion_;
    const std::shared_ptr<HttpTransport> transport_;
    std::mutex mutex_;
    std::unordered_set<std::string> submittedAddresses_;  // guarded by mutex_
    const std::int32_t maxPerSession_;
};

}  // namespace glintward
