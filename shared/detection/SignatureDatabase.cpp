#include "shared/detection/SignatureDatabase.h"

#include <algorithm>
#include <bitset>
#include <cstdio>

#include <re2/set.h>

namespace glintward {

const re2::RE2::Options& patternOptions() {
    static const re2::RE2::Options options = [] {
        re2::RE2::Options o;
        o.set_case_sensitive(false);
        o.set_log_errors(false);  // a pattern that does not compile is the caller's to handle, silently
        // A name pattern compiles to a few dozen instructions; a pathological one (a large class repeated a
        // thousand times) would take millions and tens of milliseconds. Within this budget it fails after a
        // few thousand instructions instead.
        o.set_max_mem(PATTERN_MAX_MEM);
        return o;
    }();
    return options;
}

Pattern compilePattern(std::string_view source) {
    auto pattern = std::make_shared<const re2::RE2>(re2::StringPiece(source.data(), source.size()), patternOptions());
    if (!pattern->ok()) return nullptr;
    return pattern;
}

std::string lowerAscii(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

namespace {

const Set<std::int32_t>& metaCompanyIds() {
    static const Set<std::int32_t> ids{0x058E, 0x01AB, 0x0D53};
    return ids;
}

const Set<std::string>& metaServiceUuids() {
    static const Set<std::string> uuids{
        "0000fd5f-0000-1000-8000-00805f9b34fb",
        "0000feb7-0000-1000-8000-00805f9b34fb",
        "0000feb8-0000-1000-8000-00805f9b34fb",
    };
    return uuids;
}

constexpr std::int32_t SNAP_COMPANY_ID = 0x03C2;
constexpr std::string_view SNAP_SERVICE_UUID = "0000fe45-0000-1000-8000-00805f9b34fb";

std::vector<Pattern> compileAll(std::initializer_list<std::string_view> sources) {
    std::vector<Pattern> patterns;
    for (auto source : sources) patterns.push_back(compilePattern(source));
    return patterns;
}

bool hasUpperAscii(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// Per-thread scratch space, so that matching allocates nothing once warm.
struct Scratch {
    std::vector<int> setHits;
    std::vector<std::uint8_t> flags;  // per signature: bit 0 name hit, bit 1 company hit, bit 2 UUID hit
    std::vector<std::uint32_t> touched;
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

constexpr std::uint8_t NAME_HIT = 1;
constexpr std::uint8_t COMPANY_HIT = 2;
constexpr std::uint8_t UUID_HIT = 4;

}  // namespace

// Everything matching needs, arranged for one pass per advertisement: every exclusion and name pattern of the
// catalogue in one RE2::Set (one scan of the name whatever the catalogue's size), and the company identifiers and
// service UUIDs as sorted look-up tables.
struct SignatureDatabase::Index {
    std::unique_ptr<re2::RE2::Set> names;
    std::vector<std::int32_t> owner;   // set entry -> signature index, or -1 for an exclusion pattern
    bool searchOneByOne = false;       // when a pattern cannot join the set (other options)
    std::bitset<65536> knownCompany;   // quick rejection of the common 16-bit identifiers
    std::vector<std::pair<std::int32_t, std::uint32_t>> companies;  // (company id, signature), sorted
    std::vector<std::pair<std::string, std::uint32_t>> uuids;        // (service UUID, signature), sorted
};

SignatureDatabase::SignatureDatabase(std::int32_t version, std::vector<DeviceSignature> signatures,
                                     std::vector<Pattern> exclusionPatterns)
    : version_(version), exclusionPatterns_(std::move(exclusionPatterns)) {
    signatures_.reserve(signatures.size());
    for (auto& s : signatures) signatures_.push_back(std::make_shared<const DeviceSignature>(std::move(s)));

    auto index = std::make_unique<Index>();
    re2::RE2::Options setOptions = patternOptions();
    // A catalogue of a few hundred patterns needs more than RE2's default budget for its DFA.
    setOptions.set_max_mem(int64_t{64} << 20);
    auto set = std::make_unique<re2::RE2::Set>(setOptions, re2::RE2::UNANCHORED);
    const int parseFlags = patternOptions().ParseFlags();
    auto add = [&](const Pattern& p, std::int32_t owner) {
        if (!p) return;
        if (!p->ok() || p->options().ParseFlags() != parseFlags ||
            set->Add(p->pattern(), nullptr) < 0) {
            index->searchOneByOne = true;
            return;
        }
        index->owner.push_back(owner);
    };
    for (const auto& p : exclusionPatterns_) add(p, -1);
    for (std::size_t i = 0; i < signatures_.size(); ++i) {
        for (const auto& p : signatures_[i]->namePatterns) add(p, static_cast<std::int32_t>(i));
        for (auto id : signatures_[i]->companyIds) {
            index->companies.emplace_back(id, static_cast<std::uint32_t>(i));
            if (id >= 0 && id < 65536) index->knownCompany.set(static_cast<std::size_t>(id));
        }
        for (const auto& uuid : signatures_[i]->serviceUuids) {
            index->uuids.emplace_back(uuid, static_cast<std::uint32_t>(i));
        }
    }
    if (!index->searchOneByOne && !index->owner.empty()) {
        if (set->Compile()) {
            index->names = std::move(set);
        } else {
            index->searchOneByOne = true;
        }
    }
    std::sort(index->companies.begin(), index->companies.end());
    std::sort(index->uuids.begin(), index->uuids.end());
    index_ = std::move(index);
}

SignatureDatabase::~SignatureDatabase() = default;

std::shared_ptr<const SignatureDatabase> SignatureDatabase::builtIn() {
    std::vector<Pattern> exclusions = compileAll({"quest", "portal"});
    std::vector<DeviceSignature> signatures{
        {"rayban-meta", "Meta / Ray-Ban", "Ray-Ban Meta glasses",
         compileAll({"ray[- ]?ban", "meta glasses", "wayfarer", "headliner", "skyler"}), metaCompanyIds(), true,
         metaServiceUuids()},
        {"oakley-meta", "Meta / Oakley", "Oakley Meta glasses", compileAll({"oakley", "hstn"}), metaCompanyIds(),
         true, metaServiceUuids()},
        {"snap-spectacles", "Snap", "Snap Spectacles", compileAll({"spectacles"}), Set<std::int32_t>{SNAP_COMPANY_ID},
         true, Set<std::string>{std::string(SNAP_SERVICE_UUID)}},
        {"amazon-echo-frames", "Amazon", "Amazon Echo Frames", compileAll({"echo frames"}), {}, false, {}},
    };
    return std::make_shared<const SignatureDatabase>(0, std::move(signatures), std::move(exclusions));
}

std::optional<SignatureMatch> SignatureDatabase::match(const BleAdvertisement& advertisement,
                                                       const MatchOptions& options) const {
    const Index& index = *index_;
    Scratch& s = scratch();
    s.touched.clear();
    if (s.flags.size() < signatures_.size()) s.flags.resize(signatures_.size(), 0);
    auto mark = [&](std::uint32_t signature, std::uint8_t bit) {
        if (s.flags[signature] == 0) s.touched.push_back(signature);
        s.flags[signature] |= bit;
    };
    auto clearMarks = [&] {
        for (auto i : s.touched) s.flags[i] = 0;
    };

    // 1. Exclusion and name hits, in one pass over the name.
    if (advertisement.name) {
        const re2::StringPiece name(*advertisement.name);
        bool oneByOne = index.searchOneByOne;
        if (index.names && !oneByOne) {
            re2::RE2::Set::ErrorInfo error{};
            // Most names match nothing: a yes/no scan first, the list of hits only when there are some.
            if (index.names->Match(name, nullptr, &error)) {
                s.setHits.clear();
                index.names->Match(name, &s.setHits);
                for (int hit : s.setHits) {
                    const std::int32_t owner = index.owner[static_cast<std::size_t>(hit)];
                    if (owner < 0) {
                        clearMarks();
                        return std::nullopt;
                    }
                    mark(static_cast<std::uint32_t>(owner), NAME_HIT);
                }
            } else if (error.kind != re2::RE2::Set::kNoError) {
                oneByOne = true;  // the DFA ran out of memory: answer correctly the slow way
            }
        }
        if (oneByOne) {
            for (const auto& p : exclusionPatterns_) {
                if (p && re2::RE2::PartialMatch(name, *p)) {
                    clearMarks();
                    return std::nullopt;
                }
            }
            for (std::size_t i = 0; i < signatures_.size(); ++i) {
                for (const auto& p : signatures_[i]->namePatterns) {
                    if (p && re2::RE2::PartialMatch(name, *p)) {
                        mark(static_cast<std::uint32_t>(i), NAME_HIT);
                        break;
                    }
                }
            }
        }
    }

    // 2. Company identifiers.
    for (std::int32_t id : advertisement.manufacturerCompanyIds) {
        if (id >= 0 && id < 65536 && !index.knownCompany.test(static_cast<std::size_t>(id))) continue;
        auto it = std::lower_bound(index.companies.begin(), index.companies.end(), std::make_pair(id, 0u));
        for (; it != index.companies.end() && it->first == id; ++it) mark(it->second, COMPANY_HIT);
    }

    // 3. Service UUIDs, lower-cased before the comparison.
    for (const std::string& advertised : advertisement.serviceUuids) {
        std::string lowered;
        std::string_view uuid = advertised;
        if (hasUpperAscii(uuid)) {
            lowered = lowerAscii(uuid);
            uuid = lowered;
        }
        auto it = std::lower_bound(index.uuids.begin(), index.uuids.end(), uuid,
                                   [](const auto& entry, std::string_view key) { return entry.first < key; });
        for (; it != index.uuids.end() && it->first == uuid; ++it) mark(it->second, UUID_HIT);
    }

    // 4. The most confident enabled candidate; the earlier signature in catalogue order wins a tie.
    std::int64_t best = -1;
    double bestConfidence = 0;
    const bool anyDisabled = !options.disabledSignatureIds.empty();
    for (std::uint32_t i : s.touched) {
        const std::uint8_t f = s.flags[i];
        s.flags[i] = 0;
        double confidence;
        if (f & NAME_HIT) {
            confidence = (f & COMPANY_HIT) ? CONFIDENCE_NAME_AND_COMPANY_ID : CONFIDENCE_NAME_ONLY;
        } else if (options.matchUnknownIds) {
            confidence = CONFIDENCE_COMPANY_ID_ONLY;
        } else {
            continue;
        }
        if (best >= 0 && (confidence < bestConfidence || (confidence == bestConfidence && i > best))) continue;
        if (anyDisabled && options.disabledSignatureIds.contains(signatures_[i]->id)) continue;
        best = i;
        bestConfidence = confidence;
    }
    if (best < 0) return std::nullopt;
    return SignatureMatch{signatures_[static_cast<std::size_t>(best)], bestConfidence};
}

ScanTargets SignatureDatabase::scanTargets(const MatchOptions& options) const {
    std::vector<std::int32_t> companyIds;
    std::vector<std::string> serviceUuids;
    for (const auto& s : signatures_) {
        if (options.disabledSignatureIds.contains(s->id)) continue;
        companyIds.insert(companyIds.end(), s->companyIds.begin(), s->companyIds.end());
        serviceUuids.insert(serviceUuids.end(), s->serviceUuids.begin(), s->serviceUuids.end());
    }
    return ScanTargets{Set<std::int32_t>(std::move(companyIds)), Set<std::string>(std::move(serviceUuids))};
}

std::string SignatureDatabase::toString() const {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(hashCode()));
    return std::string("glintward.detection.detection.SignatureDatabase@") + hex;
}

std::ostream& operator<<(std::ostream& out, const SignatureDatabase& database) {
    return out << database.toString();
}

}  // namespace glintward
