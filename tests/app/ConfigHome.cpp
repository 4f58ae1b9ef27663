// Points XDG_CONFIG_HOME at a fresh folder for the whole test program, so the standard user-defaults store
// never touches the real ~/.config.

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "tests/platform/TempDir.h"

namespace {

class ConfigHome : public ::testing::Environment {
public:
    void SetUp() override {
        dir_ = std::make_unique<glintward::testing::TempDir>();
        ::setenv("XDG_CONFIG_HOME", dir_->path().c_str(), 1);
    }
    void TearDown() override { dir_.reset(); }

private:
    std::unique_ptr<glintward::testing::TempDir> dir_;
};

[[maybe_unused]] ::testing::Environment* const configHome =
    ::testing::AddGlobalTestEnvironment(new ConfigHome);

}  // namespace
