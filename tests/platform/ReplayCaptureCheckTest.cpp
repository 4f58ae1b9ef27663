#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/platform/BluetoothCentral.h"
#include "tests/platform/TempDir.h"

namespace glintward {
namespace {

// A capture that cannot be read is told at start; a FIFO with no writer yet passes without the check waiting
// for one.
TEST(ReplayCaptureProblem, NamesWhatCannotBeReplayed) {
    testing::TempDir dir;
    const std::string file = (dir / "capture.btsnoop").string();
    std::ofstream(file) << "btsnoop";
    const std::string fifo = (dir / "live").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string locked = (dir / "locked.btsnoop").string();
    std::ofstream(locked) << "btsnoop";
    ::chmod(locked.c_str(), 0);

    const struct {
        const char* replay;  // null: unset
        std::string path;
        const char* problem;  // null: none
    } cases[] = {
        {nullptr, "", nullptr},
        {"", "", nullptr},
        {"file", file, nullptr},
        {"fifo", fifo, nullptr},
        {"missing", (dir / "missing.btsnoop").string(), "No such file or directory"},
        {"folder", dir.path().string(), "Is a directory"},
        {"unreadable", locked, "Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.replay ? c.replay : "unset");
        if (c.replay == nullptr) {
            ::unsetenv("GLINTWARD_REPLAY");
        } else {
            ::setenv("GLINTWARD_REPLAY", c.path.c_str(), 1);
        }
        if (c.path == locked && ::geteuid() == 0) continue;  // root reads anything
        const auto problem = replayCaptureProblem();
        if (c.problem == nullptr) {
            EXPECT_EQ(problem, std::nullopt);
        } else {
            EXPECT_EQ(problem, "GLINTWARD_REPLAY: cannot read " + c.path + ": " + c.problem);
        }
    }
    ::unsetenv("GLINTWARD_REPLAY");
}

}  // namespace
}  // namespace glintward
