#include "app/RadarLog.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/BoundedSystemLog.h"
#include "app/LogFile.h"
#include "app/platform/UserDefaults.h"
#include "tests/platform/TempDir.h"

namespace glintward {
namespace {

std::atomic<long> linesLogged{0};

std::vector<std::string> lines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The stamped line of one message, with the time left open.
std::regex stamped(const std::string& message) {
    return std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d )" +
                      std::regex_replace(message, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)"));
}

TEST(LogFile, TheFirstLineCreatesTheFileLaterOnesAppendUnchanged) {
    testing::TempDir dir;
    const auto path = dir / "radar.log";
    {
        LogFile file(path.string());
        file.append("startScanning requested");
        file.append("100% of %s and %n stand as written");
        file.drain();
        ASSERT_EQ(lines(path).size(), 2u);
    }
    LogFile again(path.string());  // a later run appends to what is there
    again.append("match: Ray-Ban Meta glasses confidence=0.95 rssi=-64");
    again.drain();
    const auto written = lines(path);
    ASSERT_EQ(written.size(), 3u);
    EXPECT_TRUE(std::regex_match(written[0], stamped("startScanning requested"))) << written[0];
    EXPECT_TRUE(std::regex_match(written[1], stamped("100% of %s and %n stand as written"))) << written[1];
    EXPECT_TRUE(
        std::regex_match(written[2], stamped("match: Ray-Ban Meta glasses confidence=0.95 rssi=-64")));
    EXPECT_EQ(contents(path).back(), '\n');
}

TEST(LogFile, LinesFromSeveralThreadsStayWholeAndInCallOrder) {
    testing::TempDir dir;
    const auto path = dir / "radar.log";
    constexpr int THREADS = 4, LINES = 250;
    {
        LogFile file(path.string());
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < LINES; ++i)
                    file.append("thread " + std::to_string(t) + " line " + std::to_string(i));
            });
        }
        for (auto& thread : threads) thread.join();
    }  // the queue drains before the file object goes
    const auto written = lines(path);
    ASSERT_EQ(written.size(), std::size_t{THREADS * LINES});
    std::vector<int> nextOf(THREADS, 0);
    const std::regex line(R"(\d\d:\d\d:\d\d\.\d\d\d thread (\d) line (\d+))");
    for (const auto& text : written) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, line)) << text;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), nextOf[t]++) << text;
    }
}

TEST(LogFile, AFileThatCannotBeWrittenIsIgnored) {
    testing::TempDir dir;
    std::ofstream(dir / "plain") << "x";
    for (const auto& path : {dir / "plain" / "radar.log", dir / "missing-folder" / "radar.log", dir.path()}) {
        LogFile file(path.string());
        file.append("dropped");
        file.drain();
    }
    EXPECT_EQ(contents(dir / "plain"), "x");
    EXPECT_FALSE(std::filesystem::exists(dir / "missing-folder"));
}

TEST(LogFile, StampsAreTwentyFourHourLocalTimeWithMilliseconds) {
    const char* saved = std::getenv("TZ");
    const std::string savedTz = saved ? saved : "";
    using namespace std::chrono;
    const auto afternoon = sys_days{year{2024} / 3 / 9} + 14h + 3min + 27s + 118ms;
    struct Case {
        const char* tz;
        system_clock::time_point time;
        const char* stamp;
    };
    for (const auto& [tz, time, stamp] :
         {Case{"UTC0", afternoon, "14:03:27.118"}, Case{"XST-10", afternoon, "00:03:27.118"},
          Case{"YST5", afternoon, "09:03:27.118"},
          Case{"UTC0", sys_days{year{2024} / 1 / 1} + 5ms, "00:00:00.005"}}) {
        ::setenv("TZ", tz, 1);
        ::tzset();
        EXPECT_EQ(LogFile::timestamp(time), stamp) << tz;
    }
    saved ? ::setenv("TZ", savedTz.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

// The process-wide road: the system log gets every line but the match lines its bounds leave out, the file
// every line of RadarLog::info and RadarLog::match, standard error only the sync line's; the file's path is
// read from the standard store once. A device's name cannot add a line of its own to any of them.
TEST(RadarLog, InfoReachesTheSystemLogAndTheFileTheSyncLineTheSystemLogAndStandardError) {
    testing::TempDir dir;
    const auto path = dir / "radar.log";
    UserDefaults::standard().setObject(path.string(), "GlintwardLogFile");
    const auto recording = std::make_shared<RecordingSystemLog>();
    const auto journal = RadarLog::replaceSystemLog(
        std::make_shared<BoundedSystemLog>(recording, true, [] { return std::int64_t{0}; }));
    EXPECT_NE(std::dynamic_pointer_cast<BoundedSystemLog>(journal), nullptr);  // the journal's match lines too
    const std::string forged =
        "heard #4: name=evil\n12:00:00.000 match: Ray-Ban Meta glasses confidence=0.95 rssi=-30 ids=[] "
        "uuids=0 "
        "rssi=-70";
    const std::string forgedOneLine =
        "heard #4: name=evil\\n12:00:00.000 match: Ray-Ban Meta glasses confidence=0.95 rssi=-30 ids=[] "
        "uuids=0 "
        "rssi=-70";

    ::testing::internal::CaptureStderr();
    RadarLog::info("heard #3: name=- ids=[1422] uuids=1 rssi=-71");
    UserDefaults::standard().setObject((dir / "other.log").string(), "GlintwardLogFile");  // too late
    RadarLog::syncLine("Glintward sync: NotModified (in force: v0)");
    RadarLog::info("50% done %s");
    RadarLog::info(forged);
    RadarLog::match("match: Ray-Ban Meta glasses confidence=0.95 rssi=-64", "A");
    RadarLog::match("match: Ray-Ban Meta glasses confidence=0.95 rssi=-65", "A");
    RadarLog::match("match: Ray-Ban Meta glasses confidence=0.95 rssi=-66\n", "B");
    RadarLog::syncLine("Glintward sync: Failed(reason=\r\x1b[1A)");
    RadarLog::drainLogFile();
    const std::string standardError = ::testing::internal::GetCapturedStderr();
    RadarLog::replaceSystemLog(journal);

    using Line = RecordingSystemLog::Line;
    EXPECT_EQ(recording->lines(),
              (std::vector<Line>{{"heard #3: name=- ids=[1422] uuids=1 rssi=-71", "radar"},
                                 {"Glintward sync: NotModified (in force: v0)", ""},
                                 {"50% done %s", "radar"},
                                 {forgedOneLine, "radar"},
                                 {"match: Ray-Ban Meta glasses confidence=0.95 rssi=-64", "radar"},
                                 {"Glintward sync: Failed(reason=\\r\\x1b[1A)", ""}}));
    EXPECT_EQ(standardError,
              "Glintward sync: NotModified (in force: v0)\nGlintward sync: Failed(reason=\\r\\x1b[1A)\n");
    const auto written = lines(path);
    ASSERT_EQ(written.size(), 6u);
    EXPECT_TRUE(std::regex_match(written[0], stamped("heard #3: name=- ids=[1422] uuids=1 rssi=-71")));
    EXPECT_TRUE(std::regex_match(written[1], stamped("50% done %s")));
    EXPECT_TRUE(std::regex_match(written[2], stamped(forgedOneLine))) << written[2];
    EXPECT_TRUE(std::regex_match(written[3], stamped("match: Ray-Ban Meta glasses confidence=0.95 rssi=-64")));
    EXPECT_TRUE(std::regex_match(written[4], stamped("match: Ray-Ban Meta glasses confidence=0.95 rssi=-65")));
    EXPECT_TRUE(std::regex_match(written[5], stamped("match: Ray-Ban Meta glasses confidence=0.95 rssi=-66\\n")))
        << written[5];
    EXPECT_FALSE(std::filesystem::exists(dir / "other.log"));
}

// A thread may still be logging while the process exits (a catalogue sync that outlived the model, say): the
// log it reaches is still there, whatever static destruction has done by then.
TEST(RadarLogDeathTest, LinesWrittenWhileTheProcessExitsReachALiveLog) {
    class CountingLog : public SystemLog {
    public:
        void info(std::string_view, std::string_view) override {}
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Under AddressSanitizer the exit-time leak scan and a use-after-free report on the logging thread can
    // wait for each other for good; the child skips the scan, so a fault ends the child.
    const char* sanitizerOptions = std::getenv("ASAN_OPTIONS");
    const std::string savedOptions = sanitizerOptions ? sanitizerOptions : "";
    ::setenv("ASAN_OPTIONS", (savedOptions + ":detect_leaks=0").c_str(), 1);
    EXPECT_EXIT(
        {
            // The child's own settings folder: exit() skips the test environment's clean-up, and nothing
            // here reads the store.
            if (const char* home = std::getenv("XDG_CONFIG_HOME")) std::filesystem::remove_all(home);
            // Registered before the log's first use, so it runs after whatever exit() does to the log: the
            // logging threads go on for a while there.
            std::atexit([] {
                const long from = linesLogged.load();
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                while (linesLogged.load() < from + 1000 && std::chrono::steady_clock::now() < deadline) {
                    std::this_thread::yield();
                }
            });
            RadarLog::replaceSystemLog(std::make_shared<CountingLog>());  // the holder owns it alone
            for (int i = 0; i < 2; ++i) {
                std::thread([] {
                    for (;;) {
                        RadarLog::syncLine("Glintward sync: NotModified (in force: v0)");
                        ++linesLogged;
                    }
                }).detach();
            }
            while (linesLogged.load() == 0) std::this_thread::yield();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    sanitizerOptions ? ::setenv("ASAN_OPTIONS", savedOptions.c_str(), 1) : ::unsetenv("ASAN_OPTIONS");
}

}  // namespace
}  // namespace glintward
