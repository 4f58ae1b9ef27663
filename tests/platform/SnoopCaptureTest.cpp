#include "app/platform/SnoopCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "tests/platform/CentralTestSupport.h"
#include "tests/platform/SnoopWriter.h"

namespace glintward::snoop {

void PrintTo(const AdvertisingReport& report, std::ostream* os) {
    *os << report.timestampUs << ' ' << report.address << ' ';
    glintward::PrintTo(report.data, os);
    *os << ' ' << report.rssi;
}

bool operator==(const AdvertisingReport& a, const AdvertisingReport& b) {
    return a.timestampUs == b.timestampUs && a.address == b.address && a.data == b.data && a.rssi == b.rssi;
}

namespace {

using namespace glintward::testing_support;

constexpr std::int64_t T0 = 63'870'000'000'000'000;
const std::string A = "AA:BB:CC:DD:EE:01";
const std::string B = "C0:FF:EE:00:00:02";

// Hands out the capture in pieces of the sizes given, in turn, with "nothing yet" between them when asked
// to; counts what it has handed out.
class PieceSource final : public ByteSource {
public:
    PieceSource(const Bytes& bytes, std::vector<std::size_t> pieces, bool laterBetween)
        : bytes_(bytes), pieces_(std::move(pieces)), laterBetween_(laterBetween) {}

    Read read(std::span<std::uint8_t> into) override {
        if (laterBetween_) {
            later_ = !later_;
            if (later_) return {Read::Kind::LATER};
        }
        if (handedOut_ == bytes_.size()) return {Read::Kind::END};
        const std::size_t count =
            std::min({into.size(), bytes_.size() - handedOut_, pieces_[next_++ % pieces_.size()]});
        std::memcpy(into.data(), bytes_.data() + handedOut_, count);
        handedOut_ += count;
        return {Read::Kind::DATA, count};
    }
    std::size_t handedOut() const { return handedOut_; }

private:
    const Bytes& bytes_;
    const std::vector<std::size_t> pieces_;
    const bool laterBetween_;
    bool later_ = false;
    std::size_t next_ = 0;
    std::size_t handedOut_ = 0;
};

struct Result {
    std::vector<AdvertisingReport> reports;
    std::optional<std::string> fault;
    std::uint64_t reportsRead = 0;
};

Result readAll(ByteSource& source, const std::function<void(const CaptureReader&)>& eachReport = {}) {
    CaptureReader reader(source);
    Result result;
    AdvertisingReport report;
    for (;;) {
        const CaptureReader::Step step = reader.next(report);
        if (step == CaptureReader::Step::END) break;
        if (step == CaptureReader::Step::REPORT) {
            result.reports.push_back(report);
            if (eachReport) eachReport(reader);
        }
    }
    result.fault = reader.fault();
    result.reportsRead = reader.reportsRead();
    return result;
}

TEST(CaptureReader, ReadsOnlyAsFarAsItHasGivenReports) {
    SnoopWriter capture(SnoopWriter::MONITOR);
    constexpr int RECORDS = 4000;  // a megabyte
    std::vector<std::size_t> recordEnds;
    for (int i = 0; i < RECORDS; ++i) {
        capture.event(T0 + i, fullReportEvent(A, -(i % 4)));
        recordEnds.push_back(capture.size());
        // A long packet that is no event, passed over on the way.
        if (i == RECORDS / 2) capture.record(T0 + i, 0x0005, Bytes(200'000, 0xAB));
    }
    ASSERT_GT(capture.size(), 1'000'000u);
    PieceSource source(capture.bytes(), {CaptureReader::BUFFER_BYTES}, false);
    std::size_t count = 0;
    const Result result = readAll(source, [&](const CaptureReader&) {
        const std::size_t recordEnd = recordEnds[count++ / REPORTS_PER_FULL_EVENT];
        ASSERT_LE(source.handedOut(), recordEnd + CaptureReader::BUFFER_BYTES) << "report " << count;
    });
    EXPECT_EQ(result.reports.size(), std::size_t{REPORTS_PER_FULL_EVENT} * RECORDS);
    EXPECT_EQ(result.reportsRead, std::size_t{REPORTS_PER_FULL_EVENT} * RECORDS);
    EXPECT_EQ(result.fault, std::nullopt);
    EXPECT_EQ(source.handedOut(), capture.size());
}

// Whatever pieces the bytes arrive in, and however often the source has nothing yet, the reports and the
// fault are those of the capture read at once.
TEST(CaptureReader, ReadsTheSameInAnyPieces) {
    const auto build = [](std::uint32_t datalink, bool cut) {
        SnoopWriter w(datalink);
        w.otherPacket(T0);
        w.event(T0 + 1, legacyReportEvent({{0x00, A, ad::completeName("Glasses") + ad::txPower(-4), -50},
                                           {0x04, B, ad::manufacturer({0x4C, 0x00, 0x01}), -60}}));
        w.record(T0 + 2, 0x0005, Bytes(CaptureReader::BUFFER_BYTES + 1000, 0x5A));  // longer than the buffer
        w.event(T0 + 3, hciEvent(0x0E, {0x01, 0x0B, 0x20, 0x00}));
        w.event(T0 + 4,
                extendedReportEvent({{0x0013, B, ad::shortName("Pho") + ad::uuids16({0xFD5F}), -70, 5}}));
        w.event(T0 + 5, fullReportEvent(A, -30));
        if (cut) {
            Bytes event = legacyReportEvent({{0x00, A, {}, -50}, {0x00, B, {}, -51}});
            event[3] = 3;  // says three
            w.event(T0 + 6, event);
        }
        return w;
    };
    for (const auto& [name, datalink, cut] :
         {std::tuple{"H4", SnoopWriter::H4, false},
          std::tuple{"monitor, ending at a fault", SnoopWriter::MONITOR, true}}) {
        SCOPED_TRACE(name);
        const SnoopWriter capture = build(datalink, cut);
        MemorySource whole(capture.bytes());
        const Result expected = readAll(whole);
        ASSERT_EQ(expected.reports.size(), 2u + 1u + REPORTS_PER_FULL_EVENT + (cut ? 2u : 0u));
        EXPECT_EQ(expected.fault.has_value(), cut);

        for (const std::vector<std::size_t>& pieces :
             {std::vector<std::size_t>{1}, {7, 1, 23}, {24}, {4096, 3}, {CaptureReader::BUFFER_BYTES}}) {
            SCOPED_TRACE(pieces.front());
            PieceSource source(capture.bytes(), pieces, true);
            const Result result = readAll(source);
            EXPECT_EQ(result.reports, expected.reports);
            EXPECT_EQ(result.fault, expected.fault);
            EXPECT_EQ(result.reportsRead, expected.reportsRead);
        }
    }
}

}  // namespace
}  // namespace glintward::snoop
