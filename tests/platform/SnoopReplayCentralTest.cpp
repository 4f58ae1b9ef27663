#include "app/platform/SnoopReplayCentral.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <limits>
#include <mutex>
#include <thread>

#include "app/platform/BluezCentral.h"
#include "app/platform/SerialQueue.h"
#include "tests/platform/CentralTestSupport.h"
#include "tests/platform/SnoopWriter.h"

namespace glintward {
namespace {

using namespace testing_support;

constexpr double AS_FAST_AS_POSSIBLE = std::numeric_limits<double>::infinity();
// Microseconds since year 0, as btsnoop counts: some day in 2024.
constexpr std::int64_t T0 = 63'870'000'000'000'000;
const std::string A = "AA:BB:CC:DD:EE:01";
const std::string B = "C0:FF:EE:00:00:02";
// The same identifiers as BlueZ gives the same addresses.
const std::string A_ID = "B19183B7-525C-54B1-9590-1E86FBAF1A7A";
const std::string B_ID = "BF5F2297-5F21-534B-8992-823A91217723";

std::vector<std::int32_t> rssisOf(const std::vector<Discovery>& discoveries, std::size_t from = 0) {
    std::vector<std::int32_t> rssis;
    for (std::size_t i = from; i < discoveries.size(); ++i) rssis.push_back(discoveries[i].rssi);
    return rssis;
}

// The writing end of a FIFO. Closed at the latest when the test ends, however it ends, so that a central
// stuck reading the FIFO gets to its end.
class FifoWriter {
public:
    ~FifoWriter() { close(); }

    // Once a reader has the FIFO open.
    bool open(const std::string& path) {
        return pollUntil([&] {
                   fd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                   return fd_ >= 0 || errno != ENXIO;
               }) &&
               fd_ >= 0;
    }
    // Writes what the capture holds beyond what was sent before; false when the reader made no room for it.
    bool send(const SnoopWriter& capture) {
        const Bytes& bytes = capture.bytes();
        return pollUntil([&] {
            const ssize_t count = ::write(fd_, bytes.data() + sent_, bytes.size() - sent_);
            if (count > 0) sent_ += static_cast<std::size_t>(count);
            return sent_ == bytes.size();
        });
    }
    // Written and not yet read.
    int unread() const {
        int count = 0;
        return ::ioctl(fd_, FIONREAD, &count) == 0 ? count : -1;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    std::size_t sent_ = 0;
};

// Destroys the central: true when that took less than a few seconds. Otherwise `rescue` runs to free a
// central stuck on its input, so that the test still ends.
bool destroyedPromptly(std::unique_ptr<SnoopReplayCentral>& central, const std::function<void()>& rescue) {
    std::promise<void> destroyed;
    std::atomic<bool> rescued{false};
    std::thread guard([&, done = destroyed.get_future()] {
        if (done.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
            rescued = true;
            rescue();
        }
    });
    central.reset();
    destroyed.set_value();
    guard.join();
    return !rescued;
}

class SnoopReplayTest : public ::testing::Test {
protected:
    void TearDown() override { delegate.finish(central); }

    void replay(const SnoopWriter& capture, double speed = AS_FAST_AS_POSSIBLE,
                std::size_t length = SIZE_MAX) {
        capture.save(path, length);
        central = std::make_unique<SnoopReplayCentral>(delegate, queue, path, speed, log.logger());
    }

    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("capture.btsnoop")).toStdString();
    SerialQueue queue{"glintward.ble"};
    RecordingDelegate delegate{queue};
    LogLines log;
    std::unique_ptr<SnoopReplayCentral> central;
};

TEST_F(SnoopReplayTest, DeliversTheAdvertisingReportsOfBothDatalinks) {
    const Bytes full = ad::flags() + ad::completeName("Glasses A") +
                       ad::manufacturer({0x8E, 0x05, 0x01, 0x02}) + ad::uuids16({0xFD5F, 0x180F}) +
                       ad::uuids32({0x0000FD5F}) +
                       ad::uuid128({0x6E, 0x40, 0x00, 0x01, 0xB5, 0xA3, 0xF3, 0x93, 0xE0, 0xA9, 0xE5, 0x0E,
                                    0x24, 0xDC, 0xCA, 0x9E}) +
                       ad::txPower(-8);
    // A structure that runs past the data ends the report's data, keeping what came before.
    const Bytes cut = ad::shortName("Pho") + Bytes{0x09, 0xFF, 0x4C, 0x00};
    // Names are cut at a NUL and made valid UTF-8.
    const Bytes odd = ad::completeName(std::string("Bad\xFF\0tail", 9));

    for (const std::uint32_t datalink : {SnoopWriter::H4, SnoopWriter::MONITOR}) {
        SCOPED_TRACE(datalink);
        SnoopWriter capture(datalink);
        capture.otherPacket(T0);
        capture.event(T0, hciEvent(0x0E, {0x01, 0x0B, 0x20, 0x00}));  // a command complete
        capture.event(T0, hciEvent(0x3E, {0x03, 0x00, 0x40, 0x00}));  // an LE meta event of another kind
        capture.event(T0 + 1000, legacyReportEvent(
                                     {{0x00, A, full, -55}, {0x03, B, ad::manufacturer({0x4C, 0x00}), -80}}));
        capture.event(T0 + 2000, legacyReportEvent({{0x04, A, ad::txPower(-8), -56}}));  // a scan response
        capture.event(T0 + 3000, extendedReportEvent({{0x0013, B, cut, -70, 5}}));
        capture.event(T0 + 4000, extendedReportEvent({{0x0010, A, odd, 127}}));
        const std::size_t before = delegate.discoveries().size();
        replay(capture);
        ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
        central->scanForPeripherals(true);
        ASSERT_TRUE(delegate.waitForDiscoveries(before + 5));

        const std::vector<std::string> uuids{"FD5F", "180F", "0000FD5F",
                                             "6E400001-B5A3-F393-E0A9-E50E24DCCA9E"};
        const std::vector<Discovery> expected{
            {{A_ID, "Glasses A"}, {"Glasses A", Bytes{0x8E, 0x05, 0x01, 0x02}, uuids, -8}, -55},
            {{B_ID, std::nullopt}, {std::nullopt, Bytes{0x4C, 0x00}, std::nullopt, std::nullopt}, -80},
            {{A_ID, "Glasses A"}, {std::nullopt, std::nullopt, std::nullopt, -8}, -56},
            {{B_ID, "Pho"}, {"Pho", std::nullopt, std::nullopt, std::nullopt}, -70},
            {{A_ID, "Bad\xEF\xBF\xBD"}, {"Bad\xEF\xBF\xBD", std::nullopt, std::nullopt, std::nullopt}, 127},
        };
        central.reset();
        const auto discoveries = delegate.discoveries();
        ASSERT_EQ(discoveries.size(), before + expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const Discovery& d = discoveries[before + i];
            SCOPED_TRACE(i);
            EXPECT_EQ(d.peripheral, expected[i].peripheral);
            EXPECT_EQ(d.data, expected[i].data);
            EXPECT_EQ(d.rssi, expected[i].rssi);
        }
        EXPECT_TRUE(log.lines().empty()) << log.lines().front();
    }
}

TEST_F(SnoopReplayTest, AFaultEndsTheReplayWithOneLogLine) {
    const auto good = [](SnoopWriter& w, int count) {
        for (int i = 0; i < count; ++i)
            w.event(T0 + i, legacyReportEvent({{0x00, A, ad::completeName("A"), -50}}));
    };
    struct Case {
        const char* name;
        std::function<void(SnoopWriter&)> build;  // none: the path names no capture file
        std::uint32_t datalink;
        std::size_t cutBytes;  // taken off the end
        std::size_t delivered;
        const char* fault;
    };
    const std::vector<Case> cases{
        {"no such file", nullptr, SnoopWriter::H4, 0, 0, "cannot open: No such file or directory"},
        {"a folder", nullptr, SnoopWriter::H4, 0, 0, "cannot read: Is a directory"},
        {"short header", [](SnoopWriter&) {}, SnoopWriter::H4, 4, 0, "truncated file header"},
        {"unsupported datalink", [&](SnoopWriter& w) { good(w, 1); }, 1001, 0, 0,
         "unsupported datalink 1001"},
        {"record cut short", [&](SnoopWriter& w) { good(w, 3); }, SnoopWriter::H4, 5, 2,
         "truncated record at byte 100"},
        {"record header cut short",
         [&](SnoopWriter& w) {
             good(w, 3);
             w.record(T0, 3, {});
         },
         SnoopWriter::MONITOR, 10, 3, "truncated record header at byte 139"},
        {"implausible length",  // believed, it would ask for 4 GiB
         [&](SnoopWriter& w) {
             good(w, 2);
             w.record(T0, 3, {0x04}, 0xFFFFFFF0);
         },
         SnoopWriter::H4, 0, 2, "record length 4294967280 at byte 100"},
        {"event longer than its record",
         [&](SnoopWriter& w) {
             good(w, 1);
             w.event(T0, {0x3E, 0x30, 0x02, 0x01});
         },
         SnoopWriter::MONITOR, 0, 1, "event longer than its record at byte 57"},
        {"data longer than its report",
         [&](SnoopWriter& w) {
             good(w, 1);
             w.event(T0,
                     hciEvent(0x3E, Bytes{0x02, 0x01, 0x00, 0x01} + hciAddress(A) + Bytes{0x20, 0x02, 0x01}));
         },
         SnoopWriter::H4, 0, 1, "advertising data longer than its report at byte 58"},
        {"fewer reports than counted",
         [&](SnoopWriter& w) {
             Bytes event = legacyReportEvent({{0x00, A, {}, -50}});
             event[3] = 2;  // says two
             w.event(T0, event);
         },
         SnoopWriter::H4, 0, 1, "advertising report cut short at byte 16"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = delegate.discoveries().size();
        const std::size_t linesBefore = log.lines().size();
        SnoopWriter capture(c.datalink);
        const std::string file = c.build ? path : dir.filePath(QString::fromUtf8(c.name)).toStdString();
        if (c.build) {
            c.build(capture);
            replay(capture, AS_FAST_AS_POSSIBLE, capture.size() - c.cutBytes);
        } else {
            if (std::string(c.name) == "a folder") {
                ASSERT_TRUE(QDir(dir.path()).mkdir(QString::fromUtf8(c.name)));
            }
            central = std::make_unique<SnoopReplayCentral>(delegate, queue, file, AS_FAST_AS_POSSIBLE,
                                                           log.logger());
        }
        // Found on the way, so reported once however often the capture is replayed.
        for (int scan = 0; scan < 2; ++scan) {
            central->scanForPeripherals(true);
            ASSERT_TRUE(delegate.waitForDiscoveries(before + (scan + 1) * c.delivered));
            ASSERT_TRUE(log.waitForLines(linesBefore + 1));
            central->stopScan();
        }
        central.reset();
        EXPECT_EQ(delegate.discoveries().size(), before + 2 * c.delivered);
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), linesBefore + 1);
        EXPECT_EQ(lines.back(), "replay: " + file + ": " + c.fault + " (" + std::to_string(c.delivered) +
                                    " advertising reports before it)");
    }
}

TEST_F(SnoopReplayTest, PacedByTheCaptureFromEachScanStart) {
    SnoopWriter capture(SnoopWriter::MONITOR);
    capture.event(T0, legacyReportEvent({{0x00, A, ad::completeName("A"), -50}}));
    capture.event(T0 + 1'000'000, legacyReportEvent({{0x00, A, ad::completeName("A"), -51}}));
    capture.event(T0 + 2'000'000, legacyReportEvent({{0x00, B, ad::completeName("B"), -52}}));
    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> times;
    delegate.onDiscover([&](const Discovery&) { times.push_back(Clock::now()); });
    replay(capture, 20.0);  // two seconds of capture in a tenth of one

    const auto firstScan = Clock::now();
    central->scanForPeripherals(true);
    ASSERT_TRUE(delegate.waitForDiscoveries(3));
    central->stopScan();
    // A new scan replays from the first report; without duplicates each device comes once.
    const auto secondScan = Clock::now();
    central->scanForPeripherals(false);
    ASSERT_TRUE(delegate.waitForDiscoveries(5));
    central.reset();

    const auto discoveries = delegate.discoveries();
    std::vector<std::int32_t> rssis;
    for (const auto& d : discoveries) rssis.push_back(d.rssi);
    EXPECT_EQ(rssis, (std::vector<std::int32_t>{-50, -51, -52, -50, -52}));
    // However late a scan's first report comes, none comes before its time after the scan started.
    queue.sync([&] {
        EXPECT_GE(times[2] - firstScan, std::chrono::milliseconds(100));
        EXPECT_GE(times[4] - secondScan, std::chrono::milliseconds(100));
    });
}

TEST(ReplayPacing, WaitsAtMostTenSecondsForOneReportAndBeginsAnewAtAJump) {
    using std::chrono::microseconds;
    constexpr std::int64_t S = 1'000'000;
    constexpr std::int64_t TEN_YEARS = 3650 * 86'400 * S;
    constexpr std::int64_t FAR = std::numeric_limits<std::int64_t>::max();
    struct Step {
        std::int64_t timestampUs;
        std::int64_t readUs;  // when it is read, from the first report's reading
        std::int64_t dueUs;
        bool rebased;
    };
    struct Case {
        const char* name;
        double speed;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases{
        {"gaps of ten seconds are waited for",
         1.0,
         {{T0, 0, 0, false}, {T0 + 10 * S, 1, 10 * S, false}, {T0 + 20 * S, 10 * S, 20 * S, false}}},
        {"a longer gap begins anew",
         1.0,
         {{T0, 0, 0, false}, {T0 + 10 * S + 1, 5, 5, true}, {T0 + 12 * S + 1, 6, 2 * S + 5, false}}},
        {"ten years ahead", 1.0, {{T0, 0, 0, false}, {T0 + TEN_YEARS, 7, 7, true}}},
        {"a jump back begins anew",
         1.0,
         {{T0, 0, 0, false},
          {T0 + S, 0, S, false},
          {T0 - 86'400 * S, S, S, true},
          {T0 - 86'399 * S, S, 2 * S, false}}},
        {"the speed divides the gaps",
         20.0,
         {{T0, 0, 0, false}, {T0 + 200 * S, 0, 10 * S, false}, {T0 + 401 * S, 3, 3, true}}},
        {"time stamps at the ends of the range",
         1.0,
         {{-FAR - 1, 0, 0, false}, {FAR, 1, 1, true}, {FAR, 2, 1, false}, {-FAR - 1, 3, 3, true}}},
        {"unpaced",
         AS_FAST_AS_POSSIBLE,
         {{T0, 0, 0, false}, {T0 + TEN_YEARS, 1, 1, false}, {T0 - S, 2, 2, false}}},
    };
    const ReplayPacing::Clock::time_point read0 = ReplayPacing::Clock::now();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReplayPacing pacing(c.speed);
        for (int round = 0; round < 2; ++round) {  // a new replay starts from its own first report
            pacing.restart();
            for (std::size_t i = 0; i < c.steps.size(); ++i) {
                const Step& step = c.steps[i];
                const auto due = pacing.next(step.timestampUs, read0 + microseconds(step.readUs));
                EXPECT_EQ(due.at - read0, microseconds(step.dueUs)) << "report " << i;
                EXPECT_EQ(due.rebased, step.rebased) << "report " << i;
            }
        }
    }
}

TEST_F(SnoopReplayTest, AJumpInTheTimeStampsIsLoggedAndNeverWaitedForAndTheEndIsSaid) {
    constexpr std::int64_t TEN_YEARS = 3650LL * 86'400 * 1'000'000;
    constexpr std::int64_t DAY = 86'400LL * 1'000'000;
    SnoopWriter capture(SnoopWriter::H4);
    const std::vector<std::int64_t> stamps{T0, T0 + TEN_YEARS, T0 + TEN_YEARS + 1000, T0 - DAY,
                                           T0 - DAY + 1000};
    for (std::size_t i = 0; i < stamps.size(); ++i)
        capture.event(stamps[i], legacyReportEvent({{0x00, A, {}, static_cast<std::int8_t>(-1 - int(i))}}));
    ::testing::internal::CaptureStderr();
    replay(capture, 1.0);
    bool delivered = true;
    for (std::size_t scan = 1; scan <= 2 && delivered; ++scan) {
        central->scanForPeripherals(true);
        delivered = delegate.waitForDiscoveries(scan * stamps.size());
        central->stopScan();
    }
    central.reset();
    const std::string standardError = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(delivered);
    EXPECT_EQ(rssisOf(delegate.discoveries()),
              (std::vector<std::int32_t>{-1, -2, -3, -4, -5, -1, -2, -3, -4, -5}));
    // Said once for each place, however often the capture is replayed.
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            "replay: " + path +
                ": time stamp jumps by +315360000.000 s at advertising report 2; pacing starts anew there",
            "replay: " + path +
                ": time stamp jumps by -315446400.001 s at advertising report 4; pacing starts anew there"}));
    const std::string end = "replay: end of capture " + path + "\n";
    EXPECT_EQ(standardError, end + end);

    // A capture that jumps at every report fills no log.
    SnoopWriter jumpy(SnoopWriter::MONITOR);
    for (int i = 0; i < 40; ++i) jumpy.event(T0 - i * DAY, legacyReportEvent({{0x00, B, {}, -50}}));
    const std::size_t before = delegate.discoveries().size();
    LogLines fresh;
    jumpy.save(path);
    ::testing::internal::CaptureStderr();
    central = std::make_unique<SnoopReplayCentral>(delegate, queue, path, 1.0, fresh.logger());
    central->scanForPeripherals(true);
    delivered = delegate.waitForDiscoveries(before + 40);
    central.reset();
    ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(delivered);
    const auto lines = fresh.lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(SnoopReplayCentral::MAX_REBASE_LINES));
    EXPECT_EQ(lines.back(), "replay: " + path +
                                ": time stamp jumps by -86400.000 s at advertising report 11; "
                                "pacing starts anew there (further ones go unlogged)");
}

TEST_F(SnoopReplayTest, NothingAfterStopOrDestruction) {
    SnoopWriter capture(SnoopWriter::H4);
    for (int i = 0; i < 3000; ++i) capture.event(T0 + i, legacyReportEvent({{0x00, A, {}, -50}}));
    // Stopped from the first callback: the rest, already on its way, is not delivered.
    replay(capture);
    delegate.onDiscover([stopping = central.get()](const Discovery&) { stopping->stopScan(); });
    central->scanForPeripherals(true);
    ASSERT_TRUE(delegate.waitForDiscoveries(1));
    queue.sync([] {});  // the callback has returned
    central.reset();
    queue.sync([] {});
    EXPECT_EQ(delegate.discoveries().size(), 1u);

    // Destroyed in the middle of the flood: nothing comes after (TearDown counts the faults).
    std::promise<void> tenth;
    int count = 0;  // touched on the queue only
    delegate.onDiscover([&](const Discovery&) {
        if (++count == 10) tenth.set_value();
    });
    replay(capture);
    central->scanForPeripherals(true);
    tenth.get_future().wait();
    central.reset();
    delegate.centralGone();
    queue.sync([] {});
    delegate.onDiscover({});
}

TEST_F(SnoopReplayTest, QuickStopsAndStartsNeverRepeatOrReorderAReport) {
    // Each report carries its place in the capture; far more of them than are ever in flight.
    constexpr int REPORTS = 4000;
    SnoopWriter capture(SnoopWriter::H4);
    std::vector<LegacyReport> reports;
    for (int i = 0; i < REPORTS; ++i) {
        const auto low = static_cast<std::uint8_t>(i), high = static_cast<std::uint8_t>(i >> 8);
        reports.push_back({0x00, A, ad::manufacturer({0xFF, 0xFF, low, high}), -50});
        if (reports.size() == 10) {
            capture.event(T0, legacyReportEvent(reports));
            reports.clear();
        }
    }
    // Each round holds the callback queue in a discovery, with more of the scan queued behind it, while the
    // scan stops and a new one starts; everything delivered after that belongs to the new scan.
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = true, held = false;
    std::size_t seen = 0;               // on the queue only
    std::vector<std::size_t> newScans;  // how many discoveries came before each new scan's
    delegate.onDiscover([&](const Discovery&) {
        ++seen;
        std::unique_lock lock(mutex);
        if (!hold) return;
        held = true;
        changed.notify_all();
        changed.wait(lock, [&] { return !hold; });
        newScans.push_back(seen);
    });
    replay(capture);
    central->scanForPeripherals(true);
    constexpr std::size_t ROUNDS = 20;
    bool allHeld = true;
    for (std::size_t round = 0; round < ROUNDS && allHeld; ++round) {
        std::unique_lock lock(mutex);
        allHeld = changed.wait_for(lock, DEADLINE, [&] { return held; });
        if (allHeld) {
            central->stopScan();
            central->scanForPeripherals(true);
        }
        held = false;
        hold = false;
        changed.notify_all();
        lock.unlock();
        // The next round holds a discovery of the new scan.
        queue.sync([&] {
            std::lock_guard relock(mutex);
            hold = allHeld && round + 1 < ROUNDS;
        });
    }
    central.reset();
    delegate.onDiscover({});
    ASSERT_TRUE(allHeld);
    ASSERT_EQ(newScans.size(), ROUNDS);

    // Each scan replays the capture from its first report, in order, each report once.
    const auto placeOf = [](const Discovery& discovery) {
        const Bytes& data = discovery.data.manufacturerData.value();
        return data[2] | data[3] << 8;
    };
    const auto discoveries = delegate.discoveries();
    std::size_t scanStart = 0;
    for (std::size_t i = 0, scan = 0; i < discoveries.size(); ++i) {
        while (scan < newScans.size() && newScans[scan] == i) scanStart = newScans[scan++];
        ASSERT_EQ(placeOf(discoveries[i]), static_cast<int>(i - scanStart))
            << "discovery " << i << " scan " << scan;
    }

    // Unheld, with the replay thread anywhere in its work: every scan's reports still come as a run from the
    // first report on, so each report that comes is the first or follows the one before.
    int last = -1;
    int outOfStep = 0;  // on the queue only
    delegate.onDiscover([&](const Discovery& discovery) {
        const int place = placeOf(discovery);
        if (place != 0 && place != last + 1) ++outOfStep;
        last = place;
    });
    replay(capture);
    for (int round = 0; round < 100; ++round) {
        central->scanForPeripherals(true);
        std::this_thread::sleep_for(std::chrono::microseconds(round % 5 * 100));
        central->stopScan();
    }
    central.reset();
    delegate.onDiscover({});
    EXPECT_EQ(outOfStep, 0);
}

TEST_F(SnoopReplayTest, AFifoReplaysAsItIsWrittenAndQuittingNeverWaitsForIt) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // Nobody has opened it for writing yet.
    central = std::make_unique<SnoopReplayCentral>(delegate, queue, path, 1.0, log.logger());
    central->scanForPeripherals(true);
    EXPECT_TRUE(destroyedPromptly(central, [&] { FifoWriter().open(path); }));

    // A writer that writes a report at a time and then nothing.
    central = std::make_unique<SnoopReplayCentral>(delegate, queue, path, 1.0, log.logger());
    central->scanForPeripherals(true);
    FifoWriter writer;
    ASSERT_TRUE(writer.open(path));
    SnoopWriter capture(SnoopWriter::MONITOR);
    capture.event(T0, legacyReportEvent({{0x00, A, ad::completeName("A"), -41}}));
    EXPECT_TRUE(writer.send(capture));
    EXPECT_TRUE(delegate.waitForDiscoveries(1));
    capture.event(T0 + 1000, legacyReportEvent({{0x00, B, {}, -42}}));
    EXPECT_TRUE(writer.send(capture));
    EXPECT_TRUE(delegate.waitForDiscoveries(2));
    EXPECT_TRUE(destroyedPromptly(central, [&] { writer.close(); }));
    EXPECT_EQ(rssisOf(delegate.discoveries()), (std::vector<std::int32_t>{-41, -42}));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(SnoopReplayTest, AFeedDropsWhatComesWhileNoScanRunsWithoutHoldingUpItsWriter) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    central = std::make_unique<SnoopReplayCentral>(delegate, queue, path, AS_FAST_AS_POSSIBLE, log.logger());
    central->scanForPeripherals(true);
    FifoWriter writer;
    ASSERT_TRUE(writer.open(path));
    SnoopWriter capture(SnoopWriter::H4);
    capture.event(T0, legacyReportEvent({{0x00, A, {}, -41}}));
    ASSERT_TRUE(writer.send(capture));
    ASSERT_TRUE(delegate.waitForDiscoveries(1));

    central->stopScan();
    // Many times what a pipe holds.
    for (int i = 0; i < 2000; ++i) capture.event(T0 + 1000 + i, fullReportEvent(B, -60));
    EXPECT_TRUE(writer.send(capture));
    ASSERT_TRUE(pollUntil([&] { return writer.unread() == 0; }));

    central->scanForPeripherals(true);
    capture.event(T0 + 10'000, legacyReportEvent({{0x00, A, {}, -42}}));
    ASSERT_TRUE(writer.send(capture));
    ASSERT_TRUE(delegate.waitForDiscoveries(2));
    central.reset();
    EXPECT_EQ(rssisOf(delegate.discoveries()), (std::vector<std::int32_t>{-41, -42}));
}

TEST_F(SnoopReplayTest, ReportsDueAtOneMomentReachTheQueueInOneHop) {
    SnoopWriter capture(SnoopWriter::H4);
    capture.event(T0, legacyReportEvent({{0x00, A, {}, -1}, {0x00, B, {}, -2}, {0x00, A, {}, -3}}));
    capture.event(T0, legacyReportEvent({{0x00, B, {}, -4}, {0x00, A, {}, -5}}));
    capture.event(T0 + 150'000, extendedReportEvent({{0x0010, A, {}, -6}}));
    for (int rssi = -7; rssi >= -10; --rssi) {
        capture.event(T0 + 300'000, legacyReportEvent({{0x00, B, {}, static_cast<std::int8_t>(rssi)}}));
    }
    // Paced, one hop per moment at most (fewer when the replay falls behind); unpaced, one for all.
    for (const auto& [speed, hops] : {std::pair{1.0, 3u}, {AS_FAST_AS_POSSIBLE, 1u}}) {
        SCOPED_TRACE(speed);
        const std::size_t before = delegate.discoveries().size();
        replay(capture, speed);
        central->scanForPeripherals(true);
        ASSERT_TRUE(delegate.waitForDiscoveries(before + 10));
        EXPECT_LE(central->handOvers(), hops);
        central.reset();
        EXPECT_EQ(rssisOf(delegate.discoveries(), before),
                  (std::vector<std::int32_t>{-1, -2, -3, -4, -5, -6, -7, -8, -9, -10}));
    }
}

TEST_F(SnoopReplayTest, ACrowdWithinOneStepOfReplayTimeTakesOneHop) {
    // Ten reports a millisecond apart: the first goes at once, the other nine together at the step's end. A
    // replay slowed down may find some of the nine due before it first waits, and the wake-up of the scan's
    // start may end that wait early: one hop more at most.
    SnoopWriter capture(SnoopWriter::H4);
    for (int i = 0; i < 10; ++i) {
        capture.event(T0 + i * 1'000,
                      legacyReportEvent({{0x00, i % 2 ? A : B, {}, static_cast<std::int8_t>(-i)}}));
    }
    replay(capture, 1.0);
    central->scanForPeripherals(true);
    ASSERT_TRUE(delegate.waitForDiscoveries(10));
    EXPECT_LE(central->handOvers(), 3u);
    central.reset();
    EXPECT_EQ(rssisOf(delegate.discoveries()),
              (std::vector<std::int32_t>{0, -1, -2, -3, -4, -5, -6, -7, -8, -9}));
}

TEST_F(SnoopReplayTest, AConsumerThatFallsBehindHoldsUpTheReplay) {
    constexpr int EVENTS = 400;
    SnoopWriter capture(SnoopWriter::MONITOR);
    std::vector<std::int32_t> expected;
    for (int i = 0; i < EVENTS; ++i) {
        capture.event(T0, fullReportEvent(A, -(i % 50)));
        for (int r = 0; r < REPORTS_PER_FULL_EVENT; ++r) expected.push_back(-(i % 50) - r);
    }
    std::promise<void> release;
    delegate.onDiscover([released = release.get_future().share()](const Discovery&) { released.wait(); });
    replay(capture);
    central->scanForPeripherals(true);
    ASSERT_TRUE(pollUntil([&] { return central->handOvers() > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // time to run ahead, if it could
    EXPECT_LE(central->handOvers() * SnoopReplayCentral::MAX_BATCH, SnoopReplayCentral::MAX_IN_FLIGHT);

    release.set_value();
    ASSERT_TRUE(delegate.waitForDiscoveries(expected.size()));
    central.reset();
    delegate.onDiscover({});
    EXPECT_EQ(rssisOf(delegate.discoveries()), expected);
}

TEST_F(SnoopReplayTest, RemembersTheNamesOfTheLatestAddresses) {
    constexpr int MAX = static_cast<int>(SnoopReplayCentral::MAX_ADDRESSES);
    SnoopWriter capture(SnoopWriter::MONITOR);
    int next = 0;
    const auto others = [&](int count) {
        std::vector<LegacyReport> reports;
        for (int i = 0; i < count; ++i, ++next) {
            char address[18];
            std::snprintf(address, sizeof address, "C0:00:00:00:%02X:%02X", next >> 8, next & 0xFF);
            reports.push_back({0x00, address, {}, -70});
            if (reports.size() == REPORTS_PER_FULL_EVENT || i == count - 1) {
                capture.event(T0, legacyReportEvent(reports));
                reports.clear();
            }
        }
    };
    capture.event(T0, legacyReportEvent({{0x00, A, ad::completeName("Named"), -50}}));
    others(MAX - 1);
    capture.event(T0, legacyReportEvent({{0x00, A, {}, -51}}));  // A is among the latest MAX
    others(MAX);
    capture.event(T0, legacyReportEvent({{0x00, A, {}, -52}}));  // it no longer is
    replay(capture);
    central->scanForPeripherals(true);
    ASSERT_TRUE(delegate.waitForDiscoveries(2 * MAX + 2));
    central.reset();
    const auto discoveries = delegate.discoveries();
    ASSERT_EQ(discoveries.size(), static_cast<std::size_t>(2 * MAX + 2));
    EXPECT_EQ(discoveries[MAX].peripheral, (Peripheral{A_ID, "Named"}));
    EXPECT_EQ(discoveries.back().peripheral, (Peripheral{A_ID, std::nullopt}));
}

TEST(BluetoothCentralFactory, ReplaysWhenAskedElseUsesBlueZOnTheSystemBus) {
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("capture.btsnoop")).toStdString();
    SnoopWriter capture(SnoopWriter::H4);
    capture.event(T0, legacyReportEvent({{0x00, A, ad::completeName("A"), -50}}));
    capture.save(path);
    SerialQueue queue("glintward.ble");
    {
        RecordingDelegate delegate(queue);
        setenv("GLINTWARD_REPLAY", path.c_str(), 1);
        auto central = makeBluetoothCentral(delegate, queue);
        EXPECT_NE(dynamic_cast<SnoopReplayCentral*>(central.get()), nullptr);
        ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
        central->scanForPeripherals(true);
        ASSERT_TRUE(delegate.waitForDiscoveries(1));
    }
    PrivateBus bus;
    BluezMock mock(bus);
    mock.addAdapter(QStringLiteral("hci0"));
    unsetenv("GLINTWARD_REPLAY");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().toUtf8().constData(), 1);
    RecordingDelegate delegate(queue);
    auto central = makeBluetoothCentral(delegate, queue);
    EXPECT_NE(dynamic_cast<BluezCentral*>(central.get()), nullptr);
    EXPECT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    central.reset();
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace
}  // namespace glintward
