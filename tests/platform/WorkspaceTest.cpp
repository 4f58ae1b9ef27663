#include "app/platform/Workspace.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/platform/TempDir.h"

namespace glintward {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Sets an environment variable for the scope of a test and puts back what was there.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A folder of stand-in settings programs that becomes the whole PATH. Each one that runs appends its name and
// arguments to the file "ran".
class FakePath {
public:
    FakePath() : path_("PATH", dir_.path().string()) {}

    // `body` ends the script: "exit 0", "exit 1", ...
    void add(const std::string& name, const std::string& body) {
        write(name, "#!/bin/sh\necho \"${0##*/} $*\" >> '" + (dir_ / "ran").string() + "'\n" + body + "\n");
    }
    // Executable, but its interpreter does not exist: the start itself fails.
    void addBroken(const std::string& name) { write(name, "#!/nonexistent/interpreter\n"); }

    std::vector<std::string> ran() const {
        std::ifstream in(dir_ / "ran");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

private:
    void write(const std::string& name, const std::string& text) {
        const auto file = dir_ / name;
        std::ofstream(file) << text;
        std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    }

    testing::TempDir dir_;
    ScopedEnv path_;
};

struct Log {
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex);
        return stored;
    }
    std::function<void(std::string)> writer() {
        return [this](std::string line) {
            std::lock_guard lock(mutex);
            stored.push_back(std::move(line));
        };
    }
    mutable std::mutex mutex;
    std::vector<std::string> stored;
};

// Runs the event loop until `condition` holds or ten seconds pass; then `settleMs` more, so that anything
// wrongly started after it would have shown.
bool runUntil(const std::function<bool()>& condition, int settleMs = 0) {
    const QDeadlineTimer deadline(10000);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    const QDeadlineTimer settle(settleMs);
    while (!settle.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

TEST(DesktopWorkspace, SaysSoWhenNoSettingsProgramIsInstalled) {
    FakePath path;
    Log log;
    makeDesktopWorkspace(log.writer())->openBluetoothSettings();
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], HasSubstr("bluetooth settings: none installed (looked for gnome-control-center, "));
    EXPECT_THAT(lines[0], HasSubstr("blueman-manager"));
    EXPECT_THAT(lines[0], HasSubstr("blueberry"));
}

// A control centre that gives up at once (as GNOME's does outside GNOME) and a program that cannot be started
// hand over to the next one, and each step is logged; the first that starts ends the search.
TEST(DesktopWorkspace, FallsThroughProgramsThatFailAndLogsEachStep) {
    FakePath path;
    path.add("gnome-control-center", "exit 1");
    path.addBroken("systemsettings");
    path.add("blueman-manager", "exit 0");
    path.add("blueberry", "exit 0");
    ScopedEnv desktop("XDG_CURRENT_DESKTOP", "");
    Log log;
    auto workspace = makeDesktopWorkspace(log.writer());
    workspace->openBluetoothSettings();
    ASSERT_TRUE(runUntil([&] { return path.ran().size() >= 2; }, 300));
    EXPECT_THAT(path.ran(), ElementsAre("gnome-control-center bluetooth", "blueman-manager "));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 4u) << ::testing::PrintToString(lines);
    EXPECT_THAT(lines[0], ::testing::MatchesRegex("bluetooth settings: started /.*/gnome-control-center bluetooth"));
    EXPECT_THAT(lines[1], ::testing::MatchesRegex(
                              "bluetooth settings: /.*/gnome-control-center bluetooth exited with status 1"));
    EXPECT_THAT(lines[2], ::testing::MatchesRegex(
                              "bluetooth settings: cannot start /.*/systemsettings kcm_bluetooth: No such file .*"));
    EXPECT_THAT(lines[3], ::testing::MatchesRegex("bluetooth settings: started /.*/blueman-manager"));
}

TEST(DesktopWorkspace, EveryProgramFailingIsLogged) {
    FakePath path;
    path.add("blueman-manager", "kill -KILL $$");
    path.add("blueberry", "exit 3");
    ScopedEnv desktop("XDG_CURRENT_DESKTOP", "");
    Log log;
    auto workspace = makeDesktopWorkspace(log.writer());
    workspace->openBluetoothSettings();
    ASSERT_TRUE(runUntil([&] { return log.lines().size() >= 5; }));
    EXPECT_THAT(log.lines(), ElementsAre(HasSubstr("started"), HasSubstr("blueman-manager ended by signal 9"),
                                         HasSubstr("started"), HasSubstr("blueberry exited with status 3"),
                                         "bluetooth settings: none could be started"));
}

// The current desktop's own tool goes ahead of the others.
TEST(DesktopWorkspace, PrefersTheCurrentDesktopsOwnTool) {
    const struct {
        const char* desktop;
        const char* expected;
    } cases[] = {
        {"", "gnome-control-center bluetooth"},
        {"ubuntu:GNOME", "gnome-control-center bluetooth"},
        {"LXQt", "blueman-manager "},
        {"X-Cinnamon", "blueberry "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.desktop);
        FakePath path;
        path.add("gnome-control-center", "exit 0");
        path.add("blueman-manager", "exit 0");
        path.add("blueberry", "exit 0");
        ScopedEnv desktop("XDG_CURRENT_DESKTOP", c.desktop);
        auto workspace = makeDesktopWorkspace([](std::string) {});
        workspace->openBluetoothSettings();
        ASSERT_TRUE(runUntil([&] { return !path.ran().empty(); }, 200));
        EXPECT_THAT(path.ran(), ElementsAre(c.expected));
    }
}

}  // namespace
}  // namespace glintward
