#include "app/platform/UserDefaults.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/TempDir.h"

namespace glintward {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<fs::path> filesStartingWith(const fs::path& folder, const std::string& prefix) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
    }
    return found;
}

// What another program does to the file: write it in place, or replace it the way most editors save.
void writeInPlace(const fs::path& file, const std::string& text) {
    writeText(file, text);
}
void writeByRename(const fs::path& file, const std::string& text) {
    const fs::path temporary = file.string() + ".editor-save";
    writeText(temporary, text);
    fs::rename(temporary, file);
}
// A file last changed an hour ago: no save of an editor is under way in it.
void age(const fs::path& file) {
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

class UserDefaultsTest : public ::testing::Test {
protected:
    // A store whose clock the test moves and whose notices it keeps.
    UserDefaults::Seams seams() {
        return {[this] { return nowMs.load(); },
                [this](const std::string& line) {
                    std::lock_guard lock(noticesMutex);
                    notices.push_back(line);
                }};
    }
    void laterThanACheck() { nowMs += UserDefaults::CHECK_INTERVAL_MS; }
    void laterThanASettle() { nowMs += UserDefaults::SETTLE_MS; }

    testing::TempDir dir;
    fs::path file = dir / "glintward" / "defaults.json";  // the folder does not exist yet
    std::atomic<std::int64_t> nowMs{1000};
    std::mutex noticesMutex;
    Strings notices;
};

TEST_F(UserDefaultsTest, ValuesAreSeenAtOnceAndSurviveARestart) {
    {
        UserDefaults defaults(file);
        defaults.setBool(true, "flag");
        defaults.setObject(std::string("text with \"quotes\" and ünïcode"), "text");
        defaults.setObject(Strings{"b", "a", ""}, "list");
        defaults.setObject(Strings{}, "empty list");
        defaults.setDouble(1700000000123.25, "time");
        defaults.setBool(false, "gone");
        defaults.removeObjectForKey("gone");
        defaults.removeObjectForKey("never there");

        EXPECT_TRUE(defaults.boolForKey("flag"));
        EXPECT_EQ(defaults.stringForKey("text"), "text with \"quotes\" and ünïcode");
        EXPECT_EQ(defaults.doubleForKey("time"), 1700000000123.25);
        EXPECT_TRUE(defaults.boolForKey("gone", true));  // removed: the caller's default
    }
    UserDefaults reopened(file);
    EXPECT_TRUE(reopened.boolForKey("flag"));
    EXPECT_EQ(reopened.stringForKey("text"), "text with \"quotes\" and ünïcode");
    EXPECT_EQ(reopened.stringArrayForKey("list"), (Strings{"b", "a", ""}));
    EXPECT_EQ(reopened.stringArrayForKey("empty list"), Strings{});
    EXPECT_EQ(reopened.doubleForKey("time"), 1700000000123.25);
    EXPECT_TRUE(reopened.boolForKey("gone", true));
    EXPECT_EQ(filesStartingWith(file.parent_path(), "defaults.json.tmp-").size(),
              0u);  // no temporary left behind
}

TEST_F(UserDefaultsTest, AValueOfAnotherTypeReadsAsAbsentOrTheDefault) {
    fs::create_directories(file.parent_path());
    writeText(file, R"({"text": "yes", "number": 1, "integer": 12, "true": true, "null": null,
                        "mixed": ["a", 1], "list": ["a"], "object": {"a": "b"}})");
    UserDefaults defaults(file);
    // Text and lists only from their own type.
    EXPECT_EQ(defaults.stringForKey("number"), std::nullopt);
    EXPECT_EQ(defaults.stringForKey("list"), std::nullopt);
    EXPECT_EQ(defaults.stringForKey("null"), std::nullopt);
    EXPECT_EQ(defaults.stringArrayForKey("text"), std::nullopt);
    EXPECT_EQ(defaults.stringArrayForKey("mixed"), std::nullopt);
    EXPECT_EQ(defaults.stringArrayForKey("list"), Strings{"a"});
    // Booleans only from booleans: neither text nor a number counts.
    for (const char* key : {"text", "number", "null", "object", "missing"}) {
        EXPECT_FALSE(defaults.boolForKey(key)) << key;
        EXPECT_TRUE(defaults.boolForKey(key, true)) << key;
    }
    EXPECT_TRUE(defaults.boolForKey("true", false));
    // Any number is a double, written with or without a fraction.
    EXPECT_EQ(defaults.doubleForKey("integer"), 12.0);
    EXPECT_EQ(defaults.doubleForKey("true"), 0.0);
    EXPECT_EQ(defaults.doubleForKey("text"), 0.0);
}

TEST_F(UserDefaultsTest, AFileThatIsNoJsonObjectIsKeptAsideAndTheStoreStartsEmpty) {
    fs::create_directories(file.parent_path());
    // Nested far deeper than any value of ours: copying or writing it would overflow the stack.
    const std::string deep = "{\"x\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
    for (const std::string& contents :
         {std::string("{\"haptic_alerts\": fal"), std::string("[true]"), std::string("\"text\""),
          std::string("{} trailing"), std::string("{}\0{\"a\": 1}", 11), deep}) {
        SCOPED_TRACE(contents.substr(0, 40));
        for (const auto& old : filesStartingWith(file.parent_path(), "defaults.json.")) fs::remove(old);
        writeText(file, contents);
        age(file);
        {
            UserDefaults defaults(file);
            EXPECT_EQ(defaults.stringForKey("haptic_alerts"), std::nullopt);
            EXPECT_FALSE(fs::exists(file));
            defaults.setBool(true, "haptic_alerts");
        }
        // The new store is a fresh file; the old contents stay beside it, byte for byte.
        EXPECT_TRUE(UserDefaults(file).boolForKey("haptic_alerts"));
        const auto aside = filesStartingWith(file.parent_path(), "defaults.json.corrupt-");
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(readText(aside[0]), contents);
    }
    // A second bad file within the same second does not replace the first one kept aside.
    writeText(file, "first");
    age(file);
    UserDefaults{file};
    writeText(file, "second");
    age(file);
    UserDefaults{file};
    std::vector<std::string> kept;
    for (const auto& path : filesStartingWith(file.parent_path(), "defaults.json.corrupt-")) {
        kept.push_back(readText(path));
    }
    EXPECT_EQ(std::count(kept.begin(), kept.end(), "first"), 1);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), "second"), 1);
}

TEST_F(UserDefaultsTest, AnUnwritableFolderKeepsTheValuesInMemory) {
    writeText(dir / "not-a-folder", "x");
    UserDefaults defaults(dir / "not-a-folder" / "defaults.json");  // cannot be created, even by root
    defaults.setObject(std::string("kept"), "text");
    defaults.setDouble(2.5, "number");
    defaults.removeObjectForKey("number");
    EXPECT_EQ(defaults.stringForKey("text"), "kept");
    EXPECT_EQ(defaults.doubleForKey("number"), 0.0);
}

TEST_F(UserDefaultsTest, ConcurrentWritersAndReadersSeeTheirOwnWritesAndTheFileEndsWithTheLast) {
    constexpr int THREADS = 8, WRITES = 200;
    {
        UserDefaults defaults(file);
        std::vector<std::thread> threads;
        std::vector<int> mismatches(THREADS, 0);
        for (int t = 0; t < THREADS; ++t) {
            threads.emplace_back([&, t] {
                const std::string key = "key" + std::to_string(t);
                for (int i = 1; i <= WRITES; ++i) {
                    defaults.setDouble(i, key);
                    if (defaults.doubleForKey(key) != i) ++mismatches[t];
                    defaults.setObject(Strings{key, std::to_string(i)}, "shared list");
                    // Another thread's list is always whole: two entries, the first naming its writer.
                    const auto list = defaults.stringArrayForKey("shared list");
                    if (!list || list->size() != 2 || list->front().rfind("key", 0) != 0) ++mismatches[t];
                }
            });
        }
        for (auto& thread : threads) thread.join();
        for (int t = 0; t < THREADS; ++t) EXPECT_EQ(mismatches[t], 0) << t;
    }
    UserDefaults reopened(file);
    for (int t = 0; t < THREADS; ++t)
        EXPECT_EQ(reopened.doubleForKey("key" + std::to_string(t)), WRITES) << t;
    const auto list = reopened.stringArrayForKey("shared list");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->at(1), std::to_string(WRITES));
}

// A child process writes in a burst while this one watches the file and kills the child with SIGKILL, at once
// when it catches the file half-written, otherwise after a few writes. Every look and the file left behind
// must be a whole store.
TEST_F(UserDefaultsTest, AKillDuringABurstOfWritesLeavesAWholeFile) {
    const std::size_t payloadBytes = 256 * 1024;
    auto isWhole = [&](const std::string& text) {
        return text.size() > payloadBytes && text.compare(text.size() - 2, 2, "}\n") == 0;
    };
    for (int round = 0; round < 6; ++round) {
        int progress[2];
        ASSERT_EQ(::pipe2(progress, O_NONBLOCK), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(progress[0]);
            UserDefaults defaults(file);
            for (int n = 1;; ++n) {
                defaults.setObject(Strings{std::to_string(n), std::string(payloadBytes, char('a' + n % 26))},
                                   "burst");
                const char written = 'w';
                (void)::write(progress[1], &written, 1);
            }
        }
        ::close(progress[1]);
        int writes = 0, tornLooks = 0;
        while (writes < round + 2) {
            char bytes[64];
            const ssize_t n = ::read(progress[0], bytes, sizeof bytes);
            if (n > 0) writes += static_cast<int>(n);
            if (writes == 0) continue;  // the first write has not reached the file yet
            if (!isWhole(readText(file))) {
                ++tornLooks;
                break;
            }
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(progress[0]);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(tornLooks, 0) << round;

        UserDefaults reopened(file);
        EXPECT_TRUE(filesStartingWith(file.parent_path(), "defaults.json.corrupt-").empty()) << round;
        const auto burst = reopened.stringArrayForKey("burst");
        ASSERT_TRUE(burst) << round;
        ASSERT_EQ(burst->size(), 2u);
        const int n = std::stoi(burst->at(0));
        EXPECT_GE(n, 1);
        EXPECT_EQ(burst->at(1), std::string(payloadBytes, char('a' + n % 26)));
    }
}

// The user (or another program) edits the file while the application runs; the application's next write of
// any key keeps that edit, whichever way the file was saved, and the file keeps its permissions.
TEST_F(UserDefaultsTest, AWriteChangesOnlyItsKeyInWhatTheFileHoldsNow) {
    for (const auto edit : {writeInPlace, writeByRename}) {
        fs::remove_all(file.parent_path());
        UserDefaults defaults(file, seams());
        defaults.setBool(true, "haptic_alerts");
        edit(file,
             R"({"haptic_alerts": true, "GlintwardLogFile": "/tmp/radar.log", "GlintwardAutoStart": true})");
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                  fs::perms::others_read);
        defaults.setDouble(1700000000123.0, "last_sync_ms");
        defaults.removeObjectForKey("haptic_alerts");

        UserDefaults reopened(file);
        EXPECT_EQ(reopened.stringForKey("GlintwardLogFile"), "/tmp/radar.log");
        EXPECT_TRUE(reopened.boolForKey("GlintwardAutoStart"));
        EXPECT_EQ(reopened.doubleForKey("last_sync_ms"), 1700000000123.0);
        EXPECT_TRUE(reopened.boolForKey("haptic_alerts", true));  // removed
        EXPECT_EQ(
            fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
        // The writing store sees the edit too.
        EXPECT_EQ(defaults.stringForKey("GlintwardLogFile"), "/tmp/radar.log");
    }
}

TEST_F(UserDefaultsTest, ReadsSeeAnOutsideEditOnceACheckIsDue) {
    for (const auto edit : {writeInPlace, writeByRename}) {
        fs::remove_all(file.parent_path());
        UserDefaults defaults(file, seams());
        defaults.setObject(std::string("IN_THE_ROOM"), "alert_threshold");
        defaults.setBool(true, "muted");
        edit(file, R"({"alert_threshold": "NEARBY", "GlintwardAutoStart": true})");

        // Until the next check the values in memory stand: reads stay a look-up.
        EXPECT_EQ(defaults.stringForKey("alert_threshold"), "IN_THE_ROOM");
        laterThanACheck();
        EXPECT_EQ(defaults.stringForKey("alert_threshold"), "NEARBY");
        EXPECT_TRUE(defaults.boolForKey("GlintwardAutoStart"));
        EXPECT_FALSE(defaults.boolForKey("muted"));  // the edit removed it

        // Removing the file removes its values.
        fs::remove(file);
        laterThanACheck();
        EXPECT_EQ(defaults.stringForKey("alert_threshold"), std::nullopt);
    }
}

// Two stores on one file (two instances of the application), each writing its own keys at the same time, in
// one process and across two.
TEST_F(UserDefaultsTest, TwoStoresOnOneFileWritingAtOnceLoseNeitherKey) {
    constexpr int WRITES = 40;
    {
        UserDefaults first(file), second(file);
        std::thread other([&] {
            for (int i = 0; i < WRITES; ++i) second.setDouble(i, "second " + std::to_string(i));
        });
        for (int i = 0; i < WRITES; ++i) first.setDouble(i, "first " + std::to_string(i));
        other.join();
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(60);
        UserDefaults defaults(file);
        for (int i = 0; i < WRITES; ++i) defaults.setDouble(i, "child " + std::to_string(i));
        ::_exit(0);
    }
    {
        UserDefaults defaults(file);
        for (int i = 0; i < WRITES; ++i) defaults.setDouble(i, "parent " + std::to_string(i));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    UserDefaults reopened(file);
    for (const char* writer : {"first ", "second ", "child ", "parent "}) {
        for (int i = 0; i < WRITES; ++i) {
            const std::string key = writer + std::to_string(i);
            EXPECT_EQ(reopened.doubleForKey(key), i) << key;
        }
    }
}

// Dotfile managers keep the file as a link into their own folder, sometimes through another link.
TEST_F(UserDefaultsTest, ALinkStaysALinkAndTheFileItLeadsToGetsTheValue) {
    const fs::path dotfiles = dir / "dotfiles";
    const fs::path target = dotfiles / "glintward.json";
    struct Case {
        const char* name;
        std::function<void()> link;
    };
    const Case cases[] = {
        {"absolute", [&] { fs::create_symlink(target, file); }},
        {"relative", [&] { fs::create_symlink("../dotfiles/glintward.json", file); }},
        {"chain",
         [&] {
             fs::create_symlink("glintward.json", dotfiles / "current.json");
             fs::create_symlink("../dotfiles/current.json", file);
         }},
    };
    for (const auto& [name, link] : cases) {
        SCOPED_TRACE(name);
        for (const auto& folder : {file.parent_path(), dotfiles}) {
            fs::remove_all(folder);
            fs::create_directories(folder);
        }
        writeText(target, R"({"GlintwardAutoStart": true})");
        link();
        {
            UserDefaults defaults(file, seams());
            EXPECT_TRUE(defaults.boolForKey("GlintwardAutoStart"));
            defaults.setBool(false, "haptic_alerts");
            writeByRename(target, R"({"GlintwardAutoStart": false, "haptic_alerts": false})");
            laterThanACheck();
            EXPECT_FALSE(defaults.boolForKey("GlintwardAutoStart", true));  // an edit of the target is seen
            defaults.setObject(std::string("x"), "alert_threshold");
        }
        EXPECT_TRUE(fs::is_symlink(file));
        EXPECT_EQ(fs::is_symlink(dotfiles / "current.json"), std::string(name) == "chain");
        EXPECT_EQ(UserDefaults(target).stringForKey("alert_threshold"), "x");
        EXPECT_FALSE(UserDefaults(target).boolForKey("GlintwardAutoStart", true));
        EXPECT_TRUE(filesStartingWith(file.parent_path(), "defaults.json.").empty());
        EXPECT_TRUE(notices.empty());
    }
    // A link to a file that is not there yet creates that file.
    fs::remove(target);
    UserDefaults(file).setBool(true, "haptic_alerts");
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_TRUE(UserDefaults(target).boolForKey("haptic_alerts"));
}

// Whatever is at the path instead of a file, the store is made at once, works in memory, says so once, and
// leaves the thing there as it was. Each store is made on a thread of its own: should it wait on a FIFO, the
// test opens the FIFO's other end to free it and fails instead of hanging.
TEST_F(UserDefaultsTest, AnythingButAFileAtThePathIsNeverOpenedBlockingNorWrittenOver) {
    fs::create_directories(file.parent_path());
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::function<void()> make;
        fs::file_type type;  // of what the path leads to
    };
    const Case cases[] = {
        {"fifo", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, fs::file_type::fifo},
        {"link to a fifo", [&] { fs::create_symlink(fifo, file); }, fs::file_type::fifo},
        {"folder", [&] { fs::create_directory(file); }, fs::file_type::directory},
        {"socket",
         [&] {
             const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::snprintf(address.sun_path, sizeof address.sun_path, "%s", file.c_str());
             ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             ::close(fd);
         },
         fs::file_type::socket},
        {"loop of links", [&] { fs::create_symlink("defaults.json", file); }, fs::file_type::none},
    };
    for (const auto& [name, make, type] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(file);
        make();
        notices.clear();
        std::atomic<bool> done{false};
        std::thread store([&] {
            UserDefaults defaults(file, seams());
            defaults.setBool(true, "haptic_alerts");
            EXPECT_TRUE(defaults.boolForKey("haptic_alerts"));
            laterThanACheck();
            defaults.setObject(std::string("NEARBY"), "alert_threshold");
            EXPECT_EQ(defaults.stringForKey("alert_threshold"), "NEARBY");
            EXPECT_TRUE(defaults.boolForKey("haptic_alerts"));
            done = true;
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const bool inTime = done;
        if (!inTime) {
            for (const auto& end : {file, fifo}) ::close(::open(end.c_str(), O_WRONLY | O_NONBLOCK));
        }
        store.join();
        EXPECT_TRUE(inTime) << "the store waited on what is at the path";
        std::error_code ec;
        EXPECT_EQ(fs::status(file, ec).type(), type);
        EXPECT_EQ(fs::is_symlink(fs::symlink_status(file)),
                  std::string(name).find("link") != std::string::npos);
        EXPECT_TRUE(filesStartingWith(file.parent_path(), "defaults.json.").empty());
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0], "settings: " + file.string() +
                                  " is not a regular file; the settings are kept in memory for this run");
    }
}

TEST_F(UserDefaultsTest, TemporaryFilesOfAKilledSaveAreRemovedAtTheNextSave) {
    fs::create_directories(file.parent_path());
    for (const char* name : {"defaults.json.tmp-a1B2c3", "defaults.json.tmp-ZZZZZZ"})
        writeText(dir / "glintward" / name, "{");
    writeText(dir / "glintward" / "other.json.tmp-a1B2c3", "not ours");
    UserDefaults defaults(file);
    EXPECT_EQ(filesStartingWith(file.parent_path(), "defaults.json.tmp-").size(), 2u);  // reading leaves them
    defaults.setBool(true, "haptic_alerts");
    EXPECT_TRUE(filesStartingWith(file.parent_path(), "defaults.json.tmp-").empty());
    EXPECT_TRUE(fs::exists(dir / "glintward" / "other.json.tmp-a1B2c3"));
}

// A file broken while the application runs (a bad edit) is left where it is, at a check and at a write alike:
// the values in memory stay, a write's change waits in memory, and joins the file once the user mends it.
TEST_F(UserDefaultsTest, AFileFoundBrokenLaterIsLeftAsItIsAndChangesWaitUntilItParses) {
    UserDefaults defaults(file, seams());
    defaults.setObject(std::string("NEARBY"), "alert_threshold");
    const std::string broken = R"({"alert_threshold": "IN_THE_ROOM", "haptic_alerts": fal)";
    writeInPlace(file, broken);
    age(file);
    laterThanACheck();
    laterThanASettle();
    EXPECT_EQ(defaults.stringForKey("alert_threshold"), "NEARBY");

    defaults.setBool(true, "GlintwardAutoStart");
    EXPECT_TRUE(defaults.boolForKey("GlintwardAutoStart"));
    EXPECT_EQ(readText(file), broken);
    EXPECT_TRUE(filesStartingWith(file.parent_path(), "defaults.json.corrupt-").empty());
    defaults.setBool(true, "haptic_alerts");
    ASSERT_EQ(notices.size(), 1u);  // once for the file, not once a write
    EXPECT_EQ(notices[0], "settings: " + file.string() +
                              " cannot be read as a JSON object; it is left as it is, and changes are kept in "
                              "memory until it can");

    writeInPlace(file, R"({"alert_threshold": "IN_THE_ROOM", "haptic_alerts": false, "extra": 1})");
    laterThanACheck();
    EXPECT_EQ(defaults.stringForKey("alert_threshold"), "IN_THE_ROOM");
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.stringForKey("alert_threshold"), "IN_THE_ROOM");
    EXPECT_EQ(reopened.doubleForKey("extra"), 1.0);
    EXPECT_TRUE(reopened.boolForKey("GlintwardAutoStart"));
    EXPECT_TRUE(reopened.boolForKey("haptic_alerts"));  // written after the edit it was kept over
}

// An empty file holds no settings: at the start it is no corrupt file, and found later it is taken once an
// editor's save would have ended.
TEST_F(UserDefaultsTest, AnEmptyFileIsAnEmptyStore) {
    fs::create_directories(file.parent_path());
    for (const std::string& contents : {std::string(), std::string(" \n")}) {
        writeText(file, contents);
        age(file);
        UserDefaults defaults(file, seams());
        EXPECT_EQ(readText(file), contents);
        defaults.setBool(true, "GlintwardAutoStart");
        EXPECT_TRUE(UserDefaults(file).boolForKey("GlintwardAutoStart"));

        writeInPlace(file, "");
        laterThanACheck();
        EXPECT_TRUE(defaults.boolForKey("GlintwardAutoStart"));  // may be a save under way
        laterThanASettle();
        EXPECT_FALSE(defaults.boolForKey("GlintwardAutoStart"));
        EXPECT_TRUE(filesStartingWith(file.parent_path(), "defaults.json.corrupt-").empty());
        EXPECT_TRUE(notices.empty());
    }
}

// An editor saving in place truncates the file, pauses, then writes it, here in two parts. The application
// writes another key meanwhile; the file must end with both, and nothing set aside.
TEST_F(UserDefaultsTest, AWriteDuringAnEditorsSaveInPlaceKeepsTheEdit) {
    fs::create_directories(file.parent_path());
    writeText(file, R"({"GlintwardAutoStart": false})");
    UserDefaults defaults(file);
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE(round);
        const std::string edit = R"({"GlintwardAutoStart": true, "edit": )" + std::to_string(round) +
                                 R"(, "GlintwardLogFile": "/tmp/radar.log"})";
        std::atomic<bool> truncated{false};
        std::thread editor([&] {
            const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
            truncated = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(round % 7));
            const std::size_t half = edit.size() / 2;
            EXPECT_EQ(::write(fd, edit.data(), half), static_cast<ssize_t>(half));
            std::this_thread::sleep_for(std::chrono::milliseconds(round % 3));
            EXPECT_EQ(::write(fd, edit.data() + half, edit.size() - half),
                      static_cast<ssize_t>(edit.size() - half));
            ::close(fd);
        });
        while (!truncated) std::this_thread::yield();
        defaults.setDouble(round, "last_sync_ms");
        editor.join();

        UserDefaults reopened(file);
        EXPECT_EQ(reopened.doubleForKey("edit"), round);
        EXPECT_EQ(reopened.doubleForKey("last_sync_ms"), round);
        EXPECT_EQ(reopened.stringForKey("GlintwardLogFile"), "/tmp/radar.log");
        ASSERT_TRUE(filesStartingWith(file.parent_path(), "defaults.json.corrupt-").empty());
    }
}

// Valid JSON the library refuses as it stands (a lone surrogate escape, a number beyond a double) reads as the
// signature bundle reads it, in any value; every member the application does not set is written back as the
// user wrote it, in the user's order.
TEST_F(UserDefaultsTest, ValuesTheLibraryRefusesKeepTheFileAndEveryMemberKeepsItsFormAndPlace) {
    fs::create_directories(file.parent_path());
    writeText(file, R"({"zeta": "\ud800x",  "GlintwardAutoStart" : true,
    "haptic_alerts": true, "far": 1e400, "long": 123456789012345678901234567890,
    "list": [ 1.50, "\udc00", {"\ud800": -1E+999} ], "alert_threshold": "VERY_CLOSE"})");
    UserDefaults defaults(file, seams());
    EXPECT_TRUE(defaults.boolForKey("GlintwardAutoStart"));
    EXPECT_EQ(defaults.stringForKey("zeta"), "\uFFFDx");
    EXPECT_EQ(defaults.doubleForKey("far"), 0.0);

    defaults.setBool(false, "haptic_alerts");
    defaults.removeObjectForKey("alert_threshold");
    defaults.setObject(Strings{"a", "b"}, "disabled_signatures");
    EXPECT_EQ(readText(file), R"({
  "zeta": "\ud800x",
  "GlintwardAutoStart": true,
  "haptic_alerts": false,
  "far": 1e400,
  "long": 123456789012345678901234567890,
  "list": [ 1.50, "\udc00", {"\ud800": -1E+999} ],
  "disabled_signatures": [
    "a",
    "b"
  ]
}
)");
    EXPECT_TRUE(filesStartingWith(file.parent_path(), "defaults.json.corrupt-").empty());
}

TEST(UserDefaultsPath, FollowsXdgConfigHomeElseTheHomeFolder) {
    const auto saved = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto xdg = saved("XDG_CONFIG_HOME"), home = saved("HOME");
    struct Case {
        std::optional<std::string> xdg;
        std::string expected;
    };
    for (const auto& [xdgValue, expected] : {
             Case{"/xdg/config", "/xdg/config/glintward/defaults.json"},
             Case{std::nullopt, "/home/someone/.config/glintward/defaults.json"},
             Case{"", "/home/someone/.config/glintward/defaults.json"},
             Case{"relative/config",
                  "/home/someone/.config/glintward/defaults.json"},  // ignored, as XDG says
         }) {
        ::setenv("HOME", "/home/someone", 1);
        if (xdgValue) {
            ::setenv("XDG_CONFIG_HOME", xdgValue->c_str(), 1);
        } else {
            ::unsetenv("XDG_CONFIG_HOME");
        }
        EXPECT_EQ(UserDefaults::standardPath(), fs::path(expected)) << xdgValue.value_or("(unset)");
    }
    for (const auto& [name, value] : {std::pair{"XDG_CONFIG_HOME", xdg}, std::pair{"HOME", home}}) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
}

}  // namespace
}  // namespace glintward
