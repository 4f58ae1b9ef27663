// The real application on a real Wayland compositor: sway with its headless backend, its own private session
// bus and its bar's StatusNotifierItem tray where a test wants a tray. Sway will not run as root, so when the
// tests run as root the compositor, the bus and every client run as the user nobody. What the compositor
// tells over its IPC (`swaymsg -t get_tree`) is what the tests check: which clients are Wayland clients,
// under which app_id, which window has the focus.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace glintward {
namespace {

const QString APP_ID = QStringLiteral(GLINTWARD_APP_ID);

bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 15000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QThread::msleep(50);
    }
    return true;
}

// The first node of sway's tree, depth first, for which `match` holds.
std::optional<QJsonObject> findNode(const QJsonObject& node,
                                    const std::function<bool(const QJsonObject&)>& match) {
    if (match(node)) return node;
    for (const char* children : {"nodes", "floating_nodes"}) {
        for (const QJsonValue& child : node.value(QLatin1String(children)).toArray()) {
            if (auto found = findNode(child.toObject(), match)) return found;
        }
    }
    return std::nullopt;
}

class WaylandSession : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* program : {"sway", "swaymsg", "dbus-daemon", "dbus-send"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) {
                GTEST_SKIP() << program << " is not installed; the Wayland tests need sway and dbus-daemon "
                             << "(scripts/install-deps installs them)";
            }
        }
        ASSERT_TRUE(dir_.isValid());
        asNobody_ = ::geteuid() == 0;
        // Everyone may pass through the test's folder; what is in it belongs to the user that runs the
        // session.
        QFile::setPermissions(dir_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                               QFileDevice::ExeOther);
        for (const char* sub : {"run", "home", "config"}) {
            const QString path = dir_.filePath(QLatin1String(sub));
            ASSERT_TRUE(QDir().mkpath(path));
            QFile::setPermissions(path,
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            if (asNobody_) giveToNobody(path);
        }
        env_.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
        env_.insert(QStringLiteral("HOME"), dir_.filePath("home"));
        env_.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime());
        env_.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_.filePath("config"));
        env_.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
        if (asNobody_ && !(openToNobody(app_) && openToNobody(peer_) && openToNobody(lsanSuppressions_))) {
            // A build folder under a closed one (root's home, say): nobody runs copies kept in the test's own.
            const QString bin = dir_.filePath(QStringLiteral("bin"));
            ASSERT_TRUE(QDir().mkpath(bin));
            QFile::setPermissions(bin, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                           QFileDevice::ReadOther | QFileDevice::ExeOther);
            for (QString* file : {&app_, &peer_, &lsanSuppressions_}) {
                const QString copy = bin + QLatin1Char('/') + QFileInfo(*file).fileName();
                ASSERT_TRUE(QFile::copy(*file, copy)) << file->toStdString();
                QFile::setPermissions(copy, QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                                QFileDevice::ReadOther | QFileDevice::ExeOther);
                *file = copy;
            }
            for (const QString& file : {app_, peer_, lsanSuppressions_}) {
                ASSERT_TRUE(openToNobody(file)) << "the user nobody cannot read " << file.toStdString();
            }
        }
        for (const char* sanitizer : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (qEnvironmentVariableIsSet(sanitizer)) env_.insert(sanitizer, qEnvironmentVariable(sanitizer));
        }
        env_.insert(QStringLiteral("LSAN_OPTIONS"),
                    QStringLiteral("suppressions=") + lsanSuppressions_);
    }

    void TearDown() override {
        // Clients first, then the compositor and the bus.
        for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
            QProcess& process = **it;
            if (process.state() == QProcess::NotRunning) continue;
            process.terminate();
            if (!process.waitForFinished(3000)) {
                process.kill();
                process.waitForFinished(3000);
            }
        }
    }

    QString runtime() const { return dir_.filePath("run"); }

    // Whether the user nobody may read the file (and run it, where it is a program).
    bool openToNobody(const QString& file) {
        int code = -1;
        run(QStringLiteral("test"), {QStringLiteral("-r"), file}, &code);
        return code == 0;
    }

    static void giveToNobody(const QString& path) {
        if (const passwd* nobody = ::getpwnam("nobody")) {
            ASSERT_EQ(::chown(QFile::encodeName(path).constData(), nobody->pw_uid, nobody->pw_gid), 0);
        }
    }

    // Starts the private bus (where a test wants a tray) and sway; skips when sway cannot start at all.
    void startSession(bool withTray) {
        if (withTray) {
            const QString bus = QStringLiteral("unix:path=") + runtime() + QStringLiteral("/bus");
            QProcess& daemon = start(
                QStringLiteral("dbus-daemon"),
                {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--address=") + bus},
                env_);
            ASSERT_TRUE(waitUntil([&] { return QFile::exists(runtime() + QStringLiteral("/bus")); }))
                << "the session bus did not start: " << daemon.readAllStandardError().toStdString();
            env_.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        } else {
            // No bus, so no tray: the panel is a window.
            env_.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                        QStringLiteral("unix:path=") + runtime() + QStringLiteral("/no-bus"));
        }
        QFile config(dir_.filePath("sway.config"));
        ASSERT_TRUE(config.open(QIODevice::WriteOnly));
        config.write(
            "xwayland disable\n"
            "output HEADLESS-1 resolution 1280x720\n"
            // As on many tiling desktops: the window under the pointer takes the focus.
            "focus_follows_mouse yes\n"
            "focus_on_window_activation focus\n");
        if (withTray) config.write("bar {\n  position bottom\n  tray_output *\n}\n");
        config.close();
        config.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);

        QProcessEnvironment compositor = env_;
        compositor.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
        compositor.insert(QStringLiteral("WLR_LIBINPUT_NO_DEVICES"), QStringLiteral("1"));
        compositor.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
        // Its log goes to a file: a pipe that nobody reads while the test waits could fill and stop it.
        const QString log = dir_.filePath("sway.log");
        QProcess& sway =
            start(QStringLiteral("sway"), {QStringLiteral("-c"), config.fileName()}, compositor, log);
        const bool up = waitUntil([&] {
            const QDir run(runtime());
            return sway.state() == QProcess::Running &&
                   !run.entryList({QStringLiteral("wayland-*")}, QDir::System).isEmpty() &&
                   !run.entryList({QStringLiteral("sway-ipc.*.sock")}, QDir::System).isEmpty();
        });
        if (!up) {
            QFile said(log);
            said.open(QIODevice::ReadOnly);
            GTEST_SKIP() << "sway could not start its headless backend: "
                         << said.readAll().right(2000).toStdString();
        }
        const QDir run(runtime());
        for (const QString& name : run.entryList({QStringLiteral("wayland-*")}, QDir::System)) {
            if (!name.endsWith(QLatin1String(".lock"))) env_.insert(QStringLiteral("WAYLAND_DISPLAY"), name);
        }
        env_.insert(QStringLiteral("SWAYSOCK"),
                    run.filePath(run.entryList({QStringLiteral("sway-ipc.*.sock")}, QDir::System).first()));
        // A mouse: the headless backend has no input devices of its own.
        mouse_ = &start(peer_, {QStringLiteral("pointer")}, env_);
        if (withTray) {
            ASSERT_TRUE(waitUntil([&] { return owned(QStringLiteral("org.kde.StatusNotifierWatcher")); }))
                << "swaybar's tray did not take the StatusNotifierWatcher name";
        }
    }

    // Starts a program as the session's user. It ends with the test, even with a test that crashed.
    void launch(QProcess& process, const QString& program, const QStringList& args,
                const QProcessEnvironment& env) const {
        process.setProcessEnvironment(env);
        if (asNobody_) {
            // The kernel forgets the parent-death signal when the user changes: setpriv sets it after.
            process.start(QStringLiteral("setpriv"),
                          QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                                      QStringLiteral("--clear-groups"), QStringLiteral("--pdeathsig"),
                                      QStringLiteral("TERM"), program} +
                              args);
        } else {
            process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
            process.start(program, args);
        }
        EXPECT_TRUE(process.waitForStarted(5000)) << program.toStdString();
    }

    // A program run as the session's user, kept until the end of the test.
    QProcess& start(const QString& program, const QStringList& args, const QProcessEnvironment& env,
                    const QString& errorFile = {}) {
        auto& process = processes_.emplace_back(std::make_unique<QProcess>());
        if (!errorFile.isEmpty()) process->setStandardErrorFile(errorFile);
        launch(*process, program, args, env);
        return *process;
    }

    // A program run as the session's user to its end; its standard output.
    QByteArray run(const QString& program, const QStringList& args, int* exitCode = nullptr) {
        QProcess process;
        launch(process, program, args, env_);
        if (!process.waitForFinished(15000)) {
            process.kill();
            process.waitForFinished(3000);
        }
        if (exitCode) *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        lastError_ = process.readAllStandardError();
        return process.readAllStandardOutput();
    }

    QByteArray swaymsg(const QStringList& args) { return run(QStringLiteral("swaymsg"), args); }
    QJsonObject tree() {
        return QJsonDocument::fromJson(swaymsg({QStringLiteral("-t"), QStringLiteral("get_tree")})).object();
    }
    std::optional<QJsonObject> window(const QString& appId) {
        return findNode(tree(),
                        [&](const QJsonObject& node) { return node.value("app_id").toString() == appId; });
    }
    std::optional<QJsonObject> titled(const QString& title) {
        return findNode(tree(), [&](const QJsonObject& node) {
            return node.value("name").toString() == title && node.contains("app_id");
        });
    }
    // Moves the pointer as a mouse does, with motion events that the compositor acts on.
    void pointerTo(int x, int y) {
        mouse_->write(QStringLiteral("%1 %2\n").arg(x).arg(y).toLatin1());
        const QDeadlineTimer deadline(10000);
        while (!mouse_->canReadLine() && !deadline.hasExpired()) mouse_->waitForReadyRead(100);
        ASSERT_EQ(mouse_->readLine(), "ok\n") << mouse_->readAllStandardError().toStdString();
    }

    // A method call on the session bus (arguments to dbus-send after --print-reply); the reply, empty on
    // failure.
    QByteArray call(const QStringList& args) {
        int code = 0;
        const QByteArray out =
            run(QStringLiteral("dbus-send"),
                QStringList{QStringLiteral("--session"), QStringLiteral("--print-reply")} + args, &code);
        return code == 0 ? out : QByteArray();
    }
    bool owned(const QString& name) {
        return call({QStringLiteral("--dest=org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                     QStringLiteral("org.freedesktop.DBus.NameHasOwner"), QStringLiteral("string:") + name})
            .contains("boolean true");
    }

    QProcess& startApp(const QProcessEnvironment& env) {
        return start(app_, {}, env);
    }
    QProcess& startApp() { return startApp(env_); }

    QTemporaryDir dir_;
    bool asNobody_ = false;
    QString app_ = QStringLiteral(GLINTWARD_APP);
    QString peer_ = QStringLiteral(WAYLAND_PEER);
    QString lsanSuppressions_ = QStringLiteral(WAYLAND_LSAN_SUPPRESSIONS);
    QProcessEnvironment env_;
    QProcess* mouse_ = nullptr;
    QByteArray lastError_;  // what the last program run to its end said on its error output
    std::vector<std::unique_ptr<QProcess>> processes_;
};

// Qt is left to choose its platform, as in a user's session: the panel must be a Wayland client of the
// compositor (not an X11 one through Xwayland, which this compositor does not even run), under the app id
// that names its desktop entry.
TEST_F(WaylandSession, TheWindowIsANativeWaylandClientUnderTheApplicationsId) {
    startSession(false);
    if (IsSkipped()) return;
    QProcess& app = startApp();
    std::optional<QJsonObject> node;
    EXPECT_TRUE(waitUntil([&] { return (node = titled(QStringLiteral("Glintward"))).has_value(); }))
        << "no Glintward window on the compositor; the application said: "
        << app.readAllStandardError().toStdString();
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->value("shell").toString().toStdString(), "xdg_shell");
    EXPECT_EQ(node->value("app_id").toString().toStdString(), APP_ID.toStdString());
    EXPECT_EQ(node->value("window_rect").toObject().value("width").toInt(), 340);
}

// The compositor puts the tray's panel in the middle of the screen, away from the tray; where the focus
// follows the mouse, the pointer on its way there crosses another window, which takes the focus. The panel
// must still be there when the pointer arrives, and go away once the focus leaves it after that.
TEST_F(WaylandSession, ThePanelStaysWhileThePointerCrossesAnotherWindowOnItsWay) {
    startSession(true);
    if (IsSkipped()) return;
    start(peer_, {QStringLiteral("window")}, env_);
    ASSERT_TRUE(waitUntil([&] { return titled(QStringLiteral("peer")).has_value(); }))
        << "the peer window did not map";
    startApp();
    QByteArray items;
    ASSERT_TRUE(waitUntil([&] {
        items = call({QStringLiteral("--dest=org.kde.StatusNotifierWatcher"),
                      QStringLiteral("/StatusNotifierWatcher"),
                      QStringLiteral("org.freedesktop.DBus.Properties.Get"),
                      QStringLiteral("string:org.kde.StatusNotifierWatcher"),
                      QStringLiteral("string:RegisteredStatusNotifierItems")});
        return items.contains('/');
    })) << "the tray item did not register with swaybar's tray";
    // "service/path" of the one item registered.
    const QString entry = QString::fromUtf8(items).section(QLatin1Char('"'), 1, 1);
    const QString service = entry.section(QLatin1Char('/'), 0, 0);
    const QString path = QLatin1Char('/') + entry.section(QLatin1Char('/'), 1);

    // As a click on the tray item would: the pointer is on the bar at the bottom right.
    pointerTo(1270, 712);
    ASSERT_FALSE(call({QStringLiteral("--dest=") + service, path,
                       QStringLiteral("org.kde.StatusNotifierItem.Activate"), QStringLiteral("int32:1270"),
                       QStringLiteral("int32:712")})
                     .isEmpty());
    std::optional<QJsonObject> panel;
    ASSERT_TRUE(waitUntil([&] { return (panel = window(APP_ID)).has_value(); })) << "the panel did not open";
    const QJsonObject rect = panel->value("rect").toObject();
    const int panelX = rect.value("x").toInt() + rect.value("width").toInt() / 2;
    const int panelY = rect.value("y").toInt() + rect.value("height").toInt() / 2;
    ASSERT_TRUE(rect.value("x").toInt() > 40 && rect.value("y").toInt() + rect.value("height").toInt() < 680)
        << "the compositor put the panel where the pointer need not cross the peer window";

    // On the way: the peer window under the pointer takes the focus.
    pointerTo(rect.value("x").toInt() - 20, rect.value("y").toInt() + rect.value("height").toInt() + 20);
    ASSERT_TRUE(waitUntil([&] {
        const auto peer = titled(QStringLiteral("peer"));
        return peer && peer->value("focused").toBool();
    })) << "the compositor did not move the focus to the window under the pointer";
    pointerTo(panelX, panelY);
    EXPECT_TRUE(waitUntil([&] {
        const auto shown = window(APP_ID);
        return shown && shown->value("focused").toBool();
    })) << "the panel was gone when the pointer reached it";

    // Reached, it behaves as a tray's panel does: the focus going elsewhere puts it away.
    pointerTo(20, 20);
    EXPECT_TRUE(waitUntil([&] { return !window(APP_ID).has_value(); }))
        << "the panel stayed after losing the focus";
}

// A second start with its launcher's token brings the running window forward from another workspace, where
// the focus is on another window; without a token it may do less (the compositor decides), but the start
// still ends with status 0.
TEST_F(WaylandSession, ALaterStartBringsTheWindowForwardWithItsLaunchersToken) {
    startSession(false);
    if (IsSkipped()) return;
    QProcess& app = startApp();
    ASSERT_TRUE(waitUntil([&] { return window(APP_ID).has_value(); })) << "no Glintward window";
    swaymsg({QStringLiteral("workspace"), QStringLiteral("2")});
    start(peer_, {QStringLiteral("window")}, env_);
    ASSERT_TRUE(waitUntil([&] {
        const auto peer = titled(QStringLiteral("peer"));
        return peer && peer->value("focused").toBool();
    })) << "the peer window did not take the focus on the other workspace";
    ASSERT_TRUE(waitUntil([&] {
        const auto hidden = window(APP_ID);
        return hidden && !hidden->value("visible").toBool();
    })) << "the Glintward window is still in view";

    int code = -1;
    const QByteArray token = run(peer_, {QStringLiteral("token")}, &code).trimmed();
    ASSERT_EQ(code, 0) << "the compositor handed out no activation token: " << lastError_.toStdString();
    ASSERT_FALSE(token.isEmpty());
    QProcessEnvironment launched = env_;
    launched.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), QString::fromLatin1(token));
    QProcess& later = startApp(launched);
    ASSERT_TRUE(later.waitForFinished(30000)) << "the later start kept running";
    EXPECT_EQ(later.exitCode(), 0);
    EXPECT_TRUE(waitUntil([&] {
        const auto shown = window(APP_ID);
        return shown && shown->value("focused").toBool() && shown->value("visible").toBool();
    })) << "the running window did not come forward; it said: "
        << app.readAllStandardError().toStdString()
        << " and the later start: " << later.readAllStandardError().toStdString();
}

}  // namespace
}  // namespace glintward

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
