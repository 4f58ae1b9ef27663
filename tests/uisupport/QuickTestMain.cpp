// The main of every Qt Quick test program: Qt Quick offscreen with the software renderer, the bundled fonts
// registered, then GoogleTest.
#include <gtest/gtest.h>
#include <QApplication>

#include "app/DesignSystem.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    // Times in the tests are written for UTC, read in the user's zone and a 24-hour locale.
    qputenv("TZ", "UTC");
    qputenv("LC_ALL", "en_GB.UTF-8");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    glintward::registerBundledFonts();
    return RUN_ALL_TESTS();
}
