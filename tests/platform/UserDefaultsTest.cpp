#include "app/platform/UserDefaults.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
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

class UserDefaultsTest : public ::testing::Test {
protected:
    testing::TempDir dir;
    fs::path file = dir / "glintward" / "defaults.json";  // the folder does not exist yet
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
    EXPECT_EQ(filesStartingWith(file.parent_path(), "defaults.json.").size(),
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
    for (const std::string contents : {"{\"haptic_alerts\": fal", "[true]", "\"text\"", "", "{} trailing"}) {
        SCOPED_TRACE(contents);
        for (const auto& old : filesStartingWith(file.parent_path(), "defaults.json.")) fs::remove(old);
        writeText(file, contents);
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
    UserDefaults{file};
    writeText(file, "second");
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
