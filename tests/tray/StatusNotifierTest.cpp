// The real application on Xvfb with openbox and a private session bus holding a StatusNotifierWatcher
// look-alike (sni_watcher.py). The test plays the tray host: it reads the item's properties and menu and
// calls Activate with the item's position, as KDE's, GNOME's AppIndicator and swaybar's hosts do.
#include <gtest/gtest.h>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QPoint>

#include "app/DesignSystem.h"
#include "tests/tray/DesktopSession.h"

namespace glintward {
namespace {

using namespace glintward::testing;

const QString WATCHER = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString ITEM_IFACE = QStringLiteral("org.kde.StatusNotifierItem");
const QString MENU_IFACE = QStringLiteral("com.canonical.dbusmenu");
const QString PROPERTIES = QStringLiteral("org.freedesktop.DBus.Properties");
// How long after the focus left the panel an activation still counts as the click that took it.
constexpr int REOPEN_GUARD_MS = 500;
// How long a tray may be gone before the panel opens as a window, and a margin for a busy machine.
constexpr int TRAY_GRACE_MS = 5000;

struct MenuEntry {
    int id;
    QString label;
};

struct Pixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
};

// An a(iiay) list of icon images, read off `arg`.
std::vector<Pixmap> pixmaps(const QDBusArgument& arg) {
    std::vector<Pixmap> images;
    arg.beginArray();
    while (!arg.atEnd()) {
        Pixmap image;
        arg.beginStructure();
        arg >> image.width >> image.height >> image.bytes;
        arg.endStructure();
        images.push_back(std::move(image));
    }
    arg.endArray();
    return images;
}

class StatusNotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto missing = missingProgram(
                {"Xvfb", "openbox", "xwininfo", "xprop", "xdotool", "xmessage", "dbus-daemon"})) {
            GTEST_SKIP() << missing->toStdString() << " is not installed (scripts/install-deps installs it)";
        }
        if (QProcess::execute(QStringLiteral("/usr/bin/python3"),
                              {QStringLiteral("-c"), QStringLiteral("import dbus, gi.repository.GLib")}) !=
            0) {
            GTEST_SKIP()
                << "python3-dbus or python3-gi is not installed (scripts/install-deps installs them)";
        }
        ASSERT_TRUE(dir.isValid());
        env = QProcessEnvironment::systemEnvironment();
        display.emplace(env, QStringLiteral("1280x800x24"));
        ASSERT_TRUE(display->up()) << "Xvfb did not start";

        bus.setProcessEnvironment(env);
        bus.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--print-address"), QStringLiteral("--nofork"),
                   QStringLiteral("--nosyslog")});
        ASSERT_TRUE(bus.waitForStarted());
        ASSERT_TRUE(waitUntil([&] { return bus.canReadLine(); }, 10000)) << "dbus-daemon printed no address";
        const QString address = QString::fromUtf8(bus.readLine()).trimmed();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        control.emplace(QDBusConnection::connectToBus(address, QStringLiteral("host-%1").arg(dir.path())));
        ASSERT_TRUE(control->isConnected());

        // openbox keeps its log and sessions under the user's cache folder: this one's are its own.
        QProcessEnvironment wmEnv = env;
        wmEnv.insert(QStringLiteral("XDG_CACHE_HOME"), dir.filePath("wm-cache"));
        windowManager.emplace(QStringLiteral("openbox"), QStringList{QStringLiteral("--sm-disable")}, wmEnv);
        QString said;
        ASSERT_TRUE(waitUntil(
            [&] {
                said = run(env, QStringLiteral("xprop"),
                           {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")});
                return said.contains(QLatin1String("window id"));
            },
            10000))
            << "openbox did not start on " << env.value(QStringLiteral("DISPLAY")).toStdString()
            << (windowManager->running() ? " (running)" : " (ended)") << ", Xvfb "
            << (display->running() ? "running" : "ended") << ": " << said.toStdString() << " log: "
            << QString::fromLocal8Bit([&] {
                   QFile log(dir.filePath("wm-cache/openbox/openbox.log"));
                   return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
               }())
                   .toStdString();
        appEnv = appEnvironment(env, dir);
    }

    void TearDown() override {
        watcher.reset();
        windowManager.reset();
        if (control) QDBusConnection::disconnectFromBus(control->name());
        bus.terminate();
        if (!bus.waitForFinished(3000)) bus.kill();
    }

    bool watcherOnBus() { return control->interface()->isServiceRegistered(WATCHER).value(); }

    void startWatcher(const QStringList& args = {}) {
        watcher.emplace(QStringLiteral("/usr/bin/python3"),
                        QStringList{QStringLiteral(GLINTWARD_SNI_WATCHER)} + args, env);
        ASSERT_TRUE(waitUntil([&] { return watcherOnBus(); }, 10000)) << "the watcher did not start";
    }
    void stopWatcher() {
        watcher.reset();
        ASSERT_TRUE(waitUntil([&] { return !watcherOnBus(); }, 10000));
    }

    QDBusMessage call(const QString& service, const QString& path, const QString& iface,
                      const QString& method, const QVariantList& args = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, iface, method);
        message.setArguments(args);
        return control->call(message, QDBus::Block, 5000);
    }
    QVariant property(const QString& service, const QString& path, const QString& iface,
                      const QString& name) {
        const QDBusMessage reply = call(service, path, PROPERTIES, QStringLiteral("Get"), {iface, name});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
        return reply.arguments().first().value<QDBusVariant>().variant();
    }

    QStringList registeredItems() {
        return property(WATCHER, QStringLiteral("/StatusNotifierWatcher"), WATCHER,
                        QStringLiteral("RegisteredStatusNotifierItems"))
            .toStringList();
    }
    // The item the watcher holds, as a host finds it: "service/path".
    bool waitForItem() {
        const bool one = waitUntil([&] { return registeredItems().size() == 1; }, 15000);
        if (!one) return false;
        const QString item = registeredItems().first();
        const qsizetype slash = item.indexOf('/');
        itemService = item.left(slash);
        itemPath = item.mid(slash);
        return true;
    }
    QVariant itemProperty(const QString& name) { return property(itemService, itemPath, ITEM_IFACE, name); }
    QDBusMessage activate(QPoint point) {
        return call(itemService, itemPath, ITEM_IFACE, QStringLiteral("Activate"), {point.x(), point.y()});
    }
    // A call through the application's event loop: whatever an earlier call made it do has been done.
    void roundTrip() { itemProperty(QStringLiteral("Title")); }

    QString toolTipTitle() {
        const QVariant value = itemProperty(QStringLiteral("ToolTip"));
        if (!value.canConvert<QDBusArgument>()) return {};
        const QDBusArgument arg = value.value<QDBusArgument>();
        QString icon;
        QString title;
        QString text;
        arg.beginStructure();
        arg >> icon;
        pixmaps(arg);
        arg >> title >> text;
        arg.endStructure();
        return title;
    }

    // The centre pixel of the largest icon image, from its ARGB bytes in network order.
    QColor iconCentre() {
        const QVariant value = itemProperty(QStringLiteral("IconPixmap"));
        if (!value.canConvert<QDBusArgument>()) return {};
        const std::vector<Pixmap> images = pixmaps(value.value<QDBusArgument>());
        const auto largest = std::max_element(
            images.begin(), images.end(), [](const Pixmap& a, const Pixmap& b) { return a.width < b.width; });
        if (largest == images.end() ||
            largest->bytes.size() != qsizetype(largest->width) * largest->height * 4) {
            return {};
        }
        const auto* p = reinterpret_cast<const uchar*>(largest->bytes.constData()) +
                        ((largest->height / 2) * largest->width + largest->width / 2) * 4;
        return QColor(p[1], p[2], p[3], p[0]);
    }

    QDBusMessage callMenu(const QString& method, const QVariantList& args) {
        const QString menu = itemProperty(QStringLiteral("Menu")).value<QDBusObjectPath>().path();
        return call(itemService, menu, MENU_IFACE, method, args);
    }
    // The menu's entries as GetLayout gives them, the root's children in order.
    std::vector<MenuEntry> menu() {
        const QDBusMessage reply = callMenu(QStringLiteral("GetLayout"), {0, -1, QStringList{}});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) return {};
        const QDBusArgument layout = reply.arguments().at(1).value<QDBusArgument>();
        std::vector<MenuEntry> entries;
        int id = 0;
        QVariantMap properties;
        layout.beginStructure();
        layout >> id >> properties;
        layout.beginArray();
        while (!layout.atEnd()) {
            QDBusVariant child;
            layout >> child;
            const QDBusArgument entry = child.variant().value<QDBusArgument>();
            QVariantMap entryProperties;
            MenuEntry e{};
            entry.beginStructure();
            entry >> e.id >> entryProperties;
            entry.endStructure();
            e.label = entryProperties.value(QStringLiteral("label")).toString();
            entries.push_back(e);
        }
        layout.endArray();
        layout.endStructure();
        return entries;
    }
    QStringList menuLabels() {
        QStringList labels;
        for (const MenuEntry& e : menu()) labels << e.label;
        return labels;
    }
    void click(const QString& label) {
        for (const MenuEntry& e : menu()) {
            if (e.label == label) {
                const QDBusMessage reply =
                    callMenu(QStringLiteral("Event"),
                             {e.id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
                EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
                return;
            }
        }
        ADD_FAILURE() << "no menu entry " << label.toStdString();
    }

    // Waits until the X focus is on the panel, as the window manager gives it to a panel that opens.
    bool panelTakesFocus() {
        return waitUntil(
            [&] {
                const auto panel = panelWindow(env);
                return panel && run(env, QStringLiteral("xdotool"), {QStringLiteral("getwindowfocus")})
                                        .trimmed()
                                        .toULongLong() == panel->first.id.toULongLong(nullptr, 16);
            },
            10000);
    }

    void movePointer(QPoint point) {
        run(env, QStringLiteral("xdotool"),
            {QStringLiteral("mousemove"), QString::number(point.x()), QString::number(point.y())});
    }

    QTemporaryDir dir;
    QProcessEnvironment env;
    std::optional<VirtualDisplay> display;
    QProcess bus;
    std::optional<QDBusConnection> control;
    std::optional<Process> windowManager;
    std::optional<Process> watcher;
    QProcessEnvironment appEnv;
    QString itemService;
    QString itemPath;
};

TEST_F(StatusNotifierTest, TheItemShowsItsTitleTheStatusTitleAndThePanelsActions) {
    startWatcher();
    // It ends on its own here: under AddressSanitizer the OpenGL driver, unloaded by then, leaves a few bytes
    // behind at exit.
    appEnv.insert(QStringLiteral("ASAN_OPTIONS"),
                  appEnv.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
    Process app(QStringLiteral(GLINTWARD_APP), {}, appEnv);
    ASSERT_TRUE(waitForItem()) << "the item never registered";
    EXPECT_EQ(itemProperty(QStringLiteral("Title")).toString(), u"Glintward");
    EXPECT_TRUE(waitUntil([&] { return toolTipTitle() == u"Smart glasses likely nearby"; }, 20000))
        << "tooltip " << toolTipTitle().toStdString();
    const QColor likely(Palette::stateLikely);
    EXPECT_EQ(iconCentre(), likely) << iconCentre().name().toStdString();
    EXPECT_EQ(menuLabels(), (QStringList{u"Stop scanning"_qs, u"Quit Glintward"_qs}));

    // The menu's scan entry does what the panel's button does; the tooltip and the entry follow.
    click(QStringLiteral("Stop scanning"));
    EXPECT_TRUE(waitUntil(
        [&] {
            return toolTipTitle() == u"Radar off" &&
                   menuLabels() == QStringList{u"Start scanning"_qs, u"Quit Glintward"_qs};
        },
        10000))
        << toolTipTitle().toStdString() << " / " << menuLabels().join(", ").toStdString();
    EXPECT_EQ(iconCentre(), QColor(Palette::stateIdle));

    // An entry the menu does not have is refused, not guessed at.
    for (const int unknown : {99, -1}) {
        EXPECT_EQ(callMenu(QStringLiteral("GetLayout"), {unknown, -1, QStringList{}}).type(),
                  QDBusMessage::ErrorMessage);
        EXPECT_EQ(callMenu(QStringLiteral("Event"),
                           {unknown, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u})
                      .type(),
                  QDBusMessage::ErrorMessage);
    }
    EXPECT_TRUE(app.running());

    click(QStringLiteral("Quit Glintward"));
    ASSERT_TRUE(app.waitForExit(10000)) << "quit from the menu did not end the application";
    EXPECT_EQ(app.exitCode(), 0);
}

// Beneath an item at the top, above one at the bottom, over it horizontally; at the pointer where the host
// gives no point (0, 0) or one on no screen.
TEST_F(StatusNotifierTest, ThePanelOpensNextToThePointTheHostGivesElseAtThePointer) {
    startWatcher();
    Process app(QStringLiteral(GLINTWARD_APP), {}, appEnv);
    ASSERT_TRUE(waitForItem());
    struct Case {
        QPoint host;
        QPoint pointer;
        QPoint anchor;  // where the panel should be
        bool below;
    };
    const Case cases[] = {
        {{1200, 12}, {200, 500}, {1200, 12}, true},     // a tray at the top right: clamped to the screen
        {{640, 790}, {200, 300}, {640, 790}, false},    // a panel at the bottom
        {{0, 0}, {300, 150}, {300, 150}, true},         // no point
        {{5000, 5000}, {300, 700}, {300, 700}, false},  // no screen there
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "host point " << c.host.x() << "," << c.host.y());
        movePointer(c.pointer);
        activate(c.host);
        ASSERT_TRUE(panelMapped(env, true)) << "the panel did not open";
        // Closed only once the window manager has done opening it, as a person's next click would.
        ASSERT_TRUE(panelTakesFocus()) << "the panel did not take the focus";
        const Window panel = panelWindow(env)->first;
        SCOPED_TRACE(::testing::Message() << "panel at " << panel.x << "," << panel.y);
        EXPECT_LE(panel.x, c.anchor.x());
        EXPECT_GE(panel.x + 340, c.anchor.x());
        if (c.below) {
            EXPECT_GE(panel.y, c.anchor.y());
            EXPECT_LE(panel.y, c.anchor.y() + 16);
        } else {
            EXPECT_LE(panel.y + 560, c.anchor.y());
            EXPECT_GE(panel.y + 560, c.anchor.y() - 16);
        }
        activate(c.host);
        ASSERT_TRUE(panelMapped(env, false)) << "a second click did not close the panel";
    }
}

// The host's click may take the focus from the panel (which hides it) before its Activate arrives, or after.
// Either way the click closes the panel; a click later than that opens it again.
TEST_F(StatusNotifierTest, AClickClosesTheOpenPanelWhicheverComesFirstFocusOrActivation) {
    startWatcher();
    Process app(QStringLiteral(GLINTWARD_APP), {}, appEnv);
    ASSERT_TRUE(waitForItem());
    // A window of another program, which the host's click gives the focus to.
    Process other(QStringLiteral("xmessage"),
                  {QStringLiteral("-geometry"), QStringLiteral("+20+600"), QStringLiteral("elsewhere")}, env);
    std::optional<Window> otherWindow;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const Window& w : windowTree(env)) {
                if (w.wmClass == QLatin1String("Xmessage")) otherWindow = w;
            }
            return otherWindow.has_value();
        },
        10000));
    const auto focusOther = [&] {
        run(env, QStringLiteral("xdotool"),
            {QStringLiteral("windowactivate"), QStringLiteral("--sync"), otherWindow->id});
    };
    const QPoint item(1200, 12);
    movePointer({200, 500});
    for (const bool focusFirst : {true, false}) {
        SCOPED_TRACE(focusFirst ? "focus, then activation" : "activation, then focus");
        activate(item);
        ASSERT_TRUE(panelMapped(env, true)) << "the panel did not open";
        ASSERT_TRUE(panelTakesFocus()) << "the panel did not take the focus";
        if (focusFirst) {
            focusOther();
            // The application has seen the focus go before the activation arrives.
            ASSERT_TRUE(panelMapped(env, false)) << "the panel stayed open after losing focus";
            activate(item);
        } else {
            activate(item);
            focusOther();
        }
        EXPECT_TRUE(panelMapped(env, false)) << "the click left the panel open";
        roundTrip();
        EXPECT_FALSE(panelWindow(env)->second) << "the click opened the panel again";
        // The next click is one of its own.
        QThread::msleep(REOPEN_GUARD_MS + 100);
    }
    activate(item);
    ASSERT_TRUE(panelMapped(env, true)) << "a later click did not open the panel";

    // Closed by a click and opened again, it still hides when the focus goes elsewhere.
    ASSERT_TRUE(panelTakesFocus()) << "the panel did not take the focus";
    activate(item);
    ASSERT_TRUE(panelMapped(env, false)) << "a click did not close the panel";
    activate(item);
    ASSERT_TRUE(panelMapped(env, true)) << "a click did not open the panel again";
    ASSERT_TRUE(panelTakesFocus()) << "the panel did not take the focus";
    focusOther();
    EXPECT_TRUE(panelMapped(env, false)) << "the panel opened again stayed open after losing focus";
}

// No tray at start: a window. A watcher that comes later takes the item and the panel goes into the tray; one
// that restarts at once keeps it there; one gone for good gives the window back.
TEST_F(StatusNotifierTest, AWatcherThatComesLaterIsTakenAndOneGoneForGoodGivesTheWindowBack) {
    Process app(QStringLiteral(GLINTWARD_APP), {}, appEnv);
    ASSERT_TRUE(panelMapped(env, true)) << "without a tray the panel did not open as a window";

    startWatcher();
    ASSERT_TRUE(waitForItem()) << "the item did not register with a watcher that came later";
    EXPECT_TRUE(panelMapped(env, false)) << "the window stayed although the tray took the item";

    QElapsedTimer sinceGone;
    stopWatcher();
    sinceGone.start();
    startWatcher();
    ASSERT_TRUE(waitForItem()) << "the item did not register again with the restarted watcher";
    QThread::msleep(std::max<qint64>(0, TRAY_GRACE_MS + 1000 - sinceGone.elapsed()));
    EXPECT_FALSE(panelWindow(env)->second) << "a watcher's restart opened the window";

    stopWatcher();
    EXPECT_TRUE(panelMapped(env, true, TRAY_GRACE_MS + 15000))
        << "with the tray gone the window did not open";
    EXPECT_TRUE(app.running());
}

// A watcher that refuses the item shows nothing: the panel is a window after the grace.
TEST_F(StatusNotifierTest, AWatcherThatRefusesTheItemLeavesThePanelAWindow) {
    startWatcher({QStringLiteral("--refuse")});
    Process app(QStringLiteral(GLINTWARD_APP), {}, appEnv);
    EXPECT_TRUE(panelMapped(env, true, TRAY_GRACE_MS + 15000)) << "the panel did not open as a window";
    EXPECT_TRUE(registeredItems().isEmpty());
}

}  // namespace
}  // namespace glintward

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
