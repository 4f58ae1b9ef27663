// The real application under Xvfb with a real X11 tray host (trayer): started with a replay capture and
// auto-start, its tray icon must be embedded in the tray and show the status colour, and clicking it must
// toggle the panel, which hides when the focus goes elsewhere, and a right click must open its menu; a second
// start must open the panel. A tray that starts after the application must take its icon, and the panel must
// become a window when the tray goes.
#include <gtest/gtest.h>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include "app/DesignSystem.h"
#include "tests/tray/DesktopSession.h"

namespace glintward {
namespace {

using namespace glintward::testing;

// The first window nested under trayer's panel whose class says it is ours.
std::optional<Window> embeddedIcon(const std::vector<Window>& tree) {
    for (std::size_t i = 0; i < tree.size(); ++i) {
        if (tree[i].wmClass != QLatin1String("trayer") || tree[i].name != QLatin1String("panel")) continue;
        for (std::size_t j = i + 1; j < tree.size() && tree[j].depth > tree[i].depth; ++j) {
            if (tree[j].wmClass.compare(QLatin1String("glintward"), Qt::CaseInsensitive) == 0 &&
                tree[j].width > 1) {
                return tree[j];
            }
        }
    }
    return std::nullopt;
}

// trayer along the top right of the screen, once it has mapped its panel.
std::unique_ptr<Process> startTrayer(const QProcessEnvironment& env) {
    auto trayer = std::make_unique<Process>(
        QStringLiteral("trayer"),
        QStringList{QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                    QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("pixel"),
                    QStringLiteral("--width"), QStringLiteral("120"), QStringLiteral("--height"),
                    QStringLiteral("32")},
        env);
    const bool mapped = waitUntil(
        [&] {
            const auto tree = windowTree(env);
            return std::any_of(tree.begin(), tree.end(), [](const Window& w) { return w.name == "panel"; });
        },
        10000);
    EXPECT_TRUE(mapped) << "trayer did not map its panel";
    return trayer;
}

class TraySmokeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto missing = missingProgram({"Xvfb", "trayer", "xwininfo", "xdpyinfo", "xdotool", "xev", "xprop"})) {
            GTEST_SKIP() << missing->toStdString()
                         << " is not installed; the tray smoke test needs xvfb, trayer, x11-utils and "
                         << "xdotool (scripts/install-deps installs them)";
        }
        ASSERT_TRUE(dir.isValid());
        env = QProcessEnvironment::systemEnvironment();
        // No desktop session bus: the tray icon goes through the X11 embedding protocol.
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + dir.filePath("no-bus"));
        display.emplace(env, QStringLiteral("1024x768x24"));
        ASSERT_TRUE(display->up()) << "Xvfb did not start";
        appEnv = appEnvironment(env, dir);
    }

    QTemporaryDir dir;
    QProcessEnvironment env;
    std::optional<VirtualDisplay> display;
    QProcessEnvironment appEnv;
};

TEST_F(TraySmokeTest, IconIsEmbeddedInTheTrayAndShowsTheStatusColour) {
    const auto trayer = startTrayer(env);
    Process app(QStringLiteral(GLINTWARD_APP), {}, appEnv);
    ASSERT_TRUE(app.running());

    std::optional<Window> icon;
    ASSERT_TRUE(waitUntil([&] { return (icon = embeddedIcon(windowTree(env))).has_value(); }, 15000))
        << "no glintward window inside the tray";

    // Read the icon's pixels from the X server: its centre is the glyph's dot, in the status colour.
    qputenv("DISPLAY", env.value(QStringLiteral("DISPLAY")).toLocal8Bit());
    int argc = 1;
    char name[] = "tray-smoke";
    char* argv[] = {name, nullptr};
    QGuiApplication probe(argc, argv);
    const QColor likely(Palette::stateLikely);
    QColor centre;
    const bool coloured = waitUntil(
        [&] {
            const QImage image =
                probe.primaryScreen()->grabWindow(icon->id.toULongLong(nullptr, 16)).toImage();
            if (image.isNull()) return false;
            centre = image.pixelColor(image.width() / 2, image.height() / 2);
            return std::abs(centre.red() - likely.red()) <= 8 &&
                   std::abs(centre.green() - likely.green()) <= 8 &&
                   std::abs(centre.blue() - likely.blue()) <= 8;
        },
        20000);
    EXPECT_TRUE(coloured) << "icon centre " << centre.name().toStdString() << ", expected "
                          << likely.name().toStdString();

    // A click on the icon opens the panel beneath it; focus moving elsewhere hides it; clicks toggle it.
    // The tray may have moved the icon since it was embedded: read where it is now.
    icon = embeddedIcon(windowTree(env));
    ASSERT_TRUE(icon.has_value());
    const QString iconX = QString::number(icon->x + icon->width / 2);
    const QString iconY = QString::number(icon->y + icon->height / 2);
    // Clicks further apart than the double-click interval, so that each is a click of its own.
    const auto clickIcon = [&] {
        QThread::msleep(500);
        run(env, QStringLiteral("xdotool"),
            {QStringLiteral("mousemove"), iconX, iconY, QStringLiteral("click"), QStringLiteral("1")});
    };
    const auto panelMapped = [&](bool mapped) { return testing::panelMapped(env, mapped); };
    clickIcon();
    ASSERT_TRUE(panelMapped(true)) << "the panel did not open";
    const Window panel = panelWindow(env)->first;
    EXPECT_GE(panel.y, icon->y + icon->height) << "the panel should open beneath the tray at the top";
    EXPECT_LE(panel.x + 340, 1024);
    EXPECT_LE(panel.x, icon->x + icon->width);
    const auto tree = windowTree(env);
    const auto trayPanel =
        std::find_if(tree.begin(), tree.end(), [](const Window& w) { return w.name == "panel"; });
    ASSERT_NE(trayPanel, tree.end());
    run(env, QStringLiteral("xdotool"),
        {QStringLiteral("mousemove"), QStringLiteral("100"), QStringLiteral("400")});
    run(env, QStringLiteral("xdotool"),
        {QStringLiteral("windowfocus"), QStringLiteral("--sync"), trayPanel->id});
    EXPECT_TRUE(panelMapped(false)) << "the panel stayed open after losing focus";
    clickIcon();
    EXPECT_TRUE(panelMapped(true)) << "a click after the focus left did not reopen the panel";
    clickIcon();
    EXPECT_TRUE(panelMapped(false)) << "a second click did not close the panel";

    // A double click opens it once, and it stays open; Escape puts it away.
    QThread::msleep(500);
    run(env, QStringLiteral("xdotool"),
        {QStringLiteral("mousemove"), iconX, iconY, QStringLiteral("click"), QStringLiteral("--repeat"),
         QStringLiteral("2"), QStringLiteral("--delay"), QStringLiteral("80"), QStringLiteral("1")});
    EXPECT_TRUE(panelMapped(true)) << "a double click did not open the panel";
    QThread::msleep(500);  // the second press has long arrived
    EXPECT_TRUE(panelMapped(true)) << "a double click opened the panel and closed it again";
    run(env, QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")});
    EXPECT_TRUE(panelMapped(false)) << "Escape did not put the panel away";

    // A right click opens the item's menu, a small window of ours at the top level; Escape closes it.
    const auto menuShown = [&] {
        for (const Window& w : windowTree(env)) {
            if (w.depth == 5 && w.wmClass == QLatin1String("glintward") && w.width > 40 && w.width < 340 &&
                w.height > 20 &&
                run(env, QStringLiteral("xwininfo"), {QStringLiteral("-id"), w.id}).contains("IsViewable")) {
                return true;
            }
        }
        return false;
    };
    run(env, QStringLiteral("xdotool"),
        {QStringLiteral("mousemove"), iconX, iconY, QStringLiteral("click"), QStringLiteral("3")});
    EXPECT_TRUE(waitUntil(menuShown, 10000)) << "a right click showed no menu";
    run(env, QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")});
    EXPECT_TRUE(waitUntil([&] { return !menuShown(); }, 10000)) << "Escape did not close the menu";

    // Started again (say from the desktop's menu), it opens the running one's panel and ends. The launcher's
    // startup id goes along: the running one ends that launch's startup feedback with a message to the root
    // window, which xev sees once it listens there (a property set on the root tells when it does).
    QProcess spy;
    spy.setProcessEnvironment(env);
    spy.start(QStringLiteral("xev"),
              {QStringLiteral("-root"), QStringLiteral("-event"), QStringLiteral("property")});
    QByteArray spied;
    ASSERT_TRUE(waitUntil(
        [&] {
            run(env, QStringLiteral("xprop"),
                {QStringLiteral("-root"), QStringLiteral("-f"), QStringLiteral("GLINTWARD_TEST"),
                 QStringLiteral("8s"), QStringLiteral("-set"), QStringLiteral("GLINTWARD_TEST"),
                 QStringLiteral("ready")});
            spied += spy.readAllStandardOutput();
            return spied.contains("GLINTWARD_TEST");
        },
        10000))
        << "xev did not listen on the root window";
    QProcessEnvironment launched = appEnv;
    // The launch's time, later than anything the server has told the instance: its next activation request
    // and its user time carry it, so that a window manager that prevents focus stealing lets it through.
    launched.insert(QStringLiteral("DESKTOP_STARTUP_ID"), QStringLiteral("smoke-test-1_TIME2000000000"));
    QProcess again;
    again.setProcessEnvironment(launched);
    again.start(QStringLiteral(GLINTWARD_APP), {});
    ASSERT_TRUE(again.waitForFinished(15000)) << "a second start kept running";
    EXPECT_EQ(again.exitCode(), 0);
    EXPECT_TRUE(panelMapped(true)) << "a second start did not open the panel";
    EXPECT_TRUE(waitUntil(
        [&] {
            spied += spy.readAllStandardOutput();
            return spied.contains("_NET_STARTUP_INFO_BEGIN");
        },
        10000))
        << "the running instance did not end the later start's startup feedback";
    // Qt keeps the user time on a window of its own that the panel names, where the window manager allows.
    const auto property = [&](const QString& window, const QString& name) {
        return run(env, QStringLiteral("xprop"), {QStringLiteral("-id"), window, name}).trimmed();
    };
    QString timeWindow = panelWindow(env)->first.id;
    const QString named = property(timeWindow, QStringLiteral("_NET_WM_USER_TIME_WINDOW"));
    if (named.contains(QLatin1String("# "))) timeWindow = named.section(QLatin1String("# "), 1);
    EXPECT_EQ(property(timeWindow, QStringLiteral("_NET_WM_USER_TIME")).toStdString(),
              "_NET_WM_USER_TIME(CARDINAL) = 2000000000");
    spy.kill();
    spy.waitForFinished(3000);
    EXPECT_TRUE(app.running());
}

// Without a tray the panel is a window; a tray that comes later takes the icon, and the panel waits in it;
// the tray gone for good, the window is back.
TEST_F(TraySmokeTest, ATrayThatComesLaterIsTakenAndOneGoneGivesTheWindowBack) {
    Process app(QStringLiteral(GLINTWARD_APP), {}, appEnv);
    ASSERT_TRUE(panelMapped(env, true)) << "without a tray the panel did not open as a window";

    auto trayer = startTrayer(env);
    EXPECT_TRUE(waitUntil([&] { return embeddedIcon(windowTree(env)).has_value(); }, 15000))
        << "the tray that came later got no icon";
    EXPECT_TRUE(panelMapped(env, false)) << "the window stayed although the tray took the icon";

    trayer.reset();
    EXPECT_TRUE(panelMapped(env, true, 20000)) << "with the tray gone the panel did not open as a window";
    EXPECT_TRUE(app.running());
}

}  // namespace
}  // namespace glintward

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
