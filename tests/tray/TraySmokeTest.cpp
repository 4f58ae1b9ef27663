// The real application under Xvfb with a real X11 tray host (trayer): started with a replay capture and
// auto-start, its tray icon must be embedded in the tray and show the status colour, and clicking it must
// toggle the panel, which hides when the focus goes elsewhere; a second start must open it.
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <functional>

#include "app/DesignSystem.h"
#include "tests/uisupport/Captures.h"
#include "tests/uisupport/FreeDisplay.h"

namespace glintward {
namespace {

// Polls `condition` (running the event loop when there is one) until it holds or the deadline passes.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}
using glintward::testing::writeCapture;

struct Window {
    QString id;
    QString name;
    QString wmClass;
    int width = 0;
    int height = 0;
    int x = 0;  // on the screen
    int y = 0;
    int depth = 0;  // nesting in the tree
};

// Every window of the display, from `xwininfo -root -tree`, with its nesting.
std::vector<Window> windowTree(const QProcessEnvironment& env) {
    QProcess xwininfo;
    xwininfo.setProcessEnvironment(env);
    xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")});
    xwininfo.waitForFinished(5000);
    std::vector<Window> windows;
    static const QRegularExpression line(QStringLiteral(
        R"re(^(\s*)(0x[0-9a-f]+) (?:"([^"]*)"|\(has no name\)): \((?:"([^"]*)" "([^"]*)")?\)\s+(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+?(-?\d+)\+?(-?\d+))re"));
    for (const QString& text : QString::fromLocal8Bit(xwininfo.readAllStandardOutput()).split('\n')) {
        const auto m = line.match(text);
        if (!m.hasMatch()) continue;
        windows.push_back({m.captured(2), m.captured(3), m.captured(5), m.captured(6).toInt(),
                           m.captured(7).toInt(), m.captured(8).toInt(), m.captured(9).toInt(),
                           static_cast<int>(m.captured(1).size())});
    }
    return windows;
}

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

// The output of a helper program (xwininfo, xdotool) run to its end.
QString run(const QProcessEnvironment& env, const QString& program, const QStringList& args) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    process.waitForFinished(5000);
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// Our panel: the top-level window titled "Glintward", with whether it is mapped.
std::optional<std::pair<Window, bool>> panelWindow(const QProcessEnvironment& env) {
    for (const Window& w : windowTree(env)) {
        if (w.name == QLatin1String("Glintward") && w.width == 340 && w.height == 560) {
            const bool mapped = run(env, QStringLiteral("xwininfo"), {QStringLiteral("-id"), w.id})
                                    .contains(QLatin1String("IsViewable"));
            return std::pair{w, mapped};
        }
    }
    return std::nullopt;
}

class Process {
public:
    Process(const QString& program, const QStringList& args, const QProcessEnvironment& env) {
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(program, args);
        process_.waitForStarted(5000);
    }
    ~Process() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.terminate();
        if (!process_.waitForFinished(3000)) {
            process_.kill();
            process_.waitForFinished(3000);
        }
    }
    bool running() const { return process_.state() == QProcess::Running; }

private:
    QProcess process_;
};

TEST(TraySmokeTest, IconIsEmbeddedInTheTrayAndShowsTheStatusColour) {
    for (const char* program : {"Xvfb", "trayer", "xwininfo", "xdotool", "xev", "xprop"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) {
            GTEST_SKIP() << program
                         << " is not installed; the tray smoke test needs xvfb, trayer, x11-utils and "
                         << "xdotool (scripts/install-deps installs them)";
        }
    }
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    const int display = testing::freeDisplayNumber();
    ASSERT_NE(display, 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(display));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    // No desktop session bus: the tray icon goes through the X11 embedding protocol.
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               QStringLiteral("unix:path=") + dir.filePath("no-bus"));

    Process xvfb(QStringLiteral("Xvfb"),
                 {QStringLiteral(":%1").arg(display), QStringLiteral("-screen"), QStringLiteral("0"),
                  QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")},
                 env);
    ASSERT_TRUE(
        waitUntil([&] { return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)); }, 10000))
        << "Xvfb did not start";
    Process trayer(
        QStringLiteral("trayer"),
        {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"), QStringLiteral("right"),
         QStringLiteral("--widthtype"), QStringLiteral("pixel"), QStringLiteral("--width"),
         QStringLiteral("120"), QStringLiteral("--height"), QStringLiteral("32")},
        env);
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto tree = windowTree(env);
            return std::any_of(tree.begin(), tree.end(), [](const Window& w) { return w.name == "panel"; });
        },
        10000))
        << "trayer did not map its panel";

    // One named pair of glasses heard all through the run: the status becomes "likely".
    const QString capture = dir.filePath("glasses.btsnoop");
    writeCapture(capture.toStdString(), {{"AA:BB:CC:00:00:01", "Ray-Ban Meta 0A1B", -55}}, 60, 5);
    QDir(dir.path()).mkpath("config/glintward");
    QFile defaults(dir.filePath("config/glintward/defaults.json"));
    ASSERT_TRUE(defaults.open(QIODevice::WriteOnly));
    defaults.write(R"({"GlintwardAutoStart": true})");
    defaults.close();
    QProcessEnvironment appEnv = env;
    appEnv.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath("config"));
    appEnv.insert(QStringLiteral("GLINTWARD_REPLAY"), capture);
    appEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QDir(dir.path()).mkpath("run");
    QFile::setPermissions(dir.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    appEnv.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath("run"));
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
    const auto panelMapped = [&](bool mapped) {
        return waitUntil(
            [&] {
                const auto panel = panelWindow(env);
                return panel && panel->second == mapped;
            },
            10000);
    };
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

}  // namespace
}  // namespace glintward

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
