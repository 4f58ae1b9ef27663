#pragma once
// What the tests that run the real application on a desktop of their own share: a virtual X display, the
// processes started on it, its window tree read with xwininfo, and the application started with a replay
// capture and its own configuration and runtime folders.

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include "tests/uisupport/Captures.h"
#include "tests/uisupport/FreeDisplay.h"

namespace glintward::testing {

// Polls `condition` (running the event loop when there is one) until it holds or the deadline passes.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}

// The first of `programs` that is not installed, if any.
inline std::optional<QString> missingProgram(std::initializer_list<const char*> programs) {
    for (const char* program : programs) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) {
            return QString::fromLatin1(program);
        }
    }
    return std::nullopt;
}

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
inline std::vector<Window> windowTree(const QProcessEnvironment& env) {
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

// The output of a helper program (xwininfo, xdotool) run to its end.
inline QString run(const QProcessEnvironment& env, const QString& program, const QStringList& args) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    process.waitForFinished(5000);
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// Our panel: the top-level window titled "Glintward", with whether it is mapped.
inline std::optional<std::pair<Window, bool>> panelWindow(const QProcessEnvironment& env) {
    for (const Window& w : windowTree(env)) {
        if (w.name == QLatin1String("Glintward") && w.width == 340 && w.height == 560) {
            const bool mapped = run(env, QStringLiteral("xwininfo"), {QStringLiteral("-id"), w.id})
                                    .contains(QLatin1String("IsViewable"));
            return std::pair{w, mapped};
        }
    }
    return std::nullopt;
}

// Waits until the panel exists and is mapped or not.
inline bool panelMapped(const QProcessEnvironment& env, bool mapped, int timeoutMs = 10000) {
    return waitUntil(
        [&] {
            const auto panel = panelWindow(env);
            return panel && panel->second == mapped;
        },
        timeoutMs);
}

// A program that runs until the test ends it (or ends it itself, at the latest when the test ends).
class Process {
public:
    Process(const QString& program, const QStringList& args, const QProcessEnvironment& env) {
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(program, args);
        process_.waitForStarted(5000);
    }
    ~Process() { stop(); }
    bool running() const { return process_.state() == QProcess::Running; }
    // Asks it to end, as a session ending does, and waits.
    void stop() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.terminate();
        if (!process_.waitForFinished(3000)) {
            process_.kill();
            process_.waitForFinished(3000);
        }
    }
    bool waitForExit(int timeoutMs) { return process_.waitForFinished(timeoutMs); }
    int exitCode() const { return process_.exitCode(); }

private:
    QProcess process_;
};

// An Xvfb of the test's own, on a free display; `env` gains its DISPLAY.
class VirtualDisplay {
public:
    VirtualDisplay(QProcessEnvironment& env, const QString& size) {
        const int display = freeDisplayNumber();
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(display));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        xvfb_.emplace(
            QStringLiteral("Xvfb"),
            QStringList{QStringLiteral(":%1").arg(display), QStringLiteral("-screen"), QStringLiteral("0"),
                        size, QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-noreset")},
            env);
        // The socket is there a moment before the server takes connections: up once a client gets in. The
        // server keeps going when that client leaves (-noreset) rather than starting over, which would turn
        // away whoever connects meanwhile.
        const auto takesClients = [&] {
            QProcess probe;
            probe.setProcessEnvironment(env);
            probe.setStandardOutputFile(QProcess::nullDevice());
            probe.setStandardErrorFile(QProcess::nullDevice());
            probe.start(QStringLiteral("xdpyinfo"), {});
            return probe.waitForFinished(5000) && probe.exitStatus() == QProcess::NormalExit &&
                   probe.exitCode() == 0;
        };
        up_ = display != 0 && waitUntil(takesClients, 10000);
    }
    bool up() const { return up_; }
    bool running() const { return xvfb_ && xvfb_->running(); }

private:
    std::optional<Process> xvfb_;
    bool up_ = false;
};

// The application's environment in `dir`: its own configuration (auto-start on, so the replay plays from
// the start) and runtime folder, X11, and the capture of one named pair of glasses heard all through the run.
inline QProcessEnvironment appEnvironment(const QProcessEnvironment& env, const QTemporaryDir& dir) {
    const QString capture = dir.filePath("glasses.btsnoop");
    writeCapture(capture.toStdString(), {{"AA:BB:CC:00:00:01", "Ray-Ban Meta 0A1B", -55}}, 60, 5);
    QDir(dir.path()).mkpath("config/glintward");
    QFile defaults(dir.filePath("config/glintward/defaults.json"));
    EXPECT_TRUE(defaults.open(QIODevice::WriteOnly));
    defaults.write(R"({"GlintwardAutoStart": true})");
    defaults.close();
    QProcessEnvironment appEnv = env;
    appEnv.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath("config"));
    appEnv.insert(QStringLiteral("GLINTWARD_REPLAY"), capture);
    appEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QDir(dir.path()).mkpath("run");
    QFile::setPermissions(dir.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    appEnv.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath("run"));
    return appEnv;
}

}  // namespace glintward::testing
