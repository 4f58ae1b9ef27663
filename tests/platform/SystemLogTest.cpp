#include "app/platform/SystemLog.h"

#include <string>

#include <gtest/gtest.h>

namespace glintward {
namespace {

// Whether or not a journal listens here, a message that looks like a format, or holds a line break or a NUL,
// is sent as plain bytes: under the sanitizers a format reading of "%s%n" would crash.
TEST(JournalLog, TakesAnyMessageAsPlainText) {
    JournalLog log;
    log.info("100% sure: %s%n%x", "radar");
    log.info(std::string("two\nlines and a \0 byte", 22), "");
}

}  // namespace
}  // namespace glintward
