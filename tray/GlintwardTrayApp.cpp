#include "tray/GlintwardTrayApp.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <csignal>
#include <memory>
#include <utility>

#include "app/DesignSystem.h"
#include "app/Views/ViewLogic.h"
#include "app/Views/ViewsModule.h"
#include "app/platform/UserDefaults.h"
#include "tray/PanelModule.h"
#include "tray/SceneGraphBackend.h"
#include "tray/StatusNotifierItem.h"
#include "tray/TrayGlyph.h"

namespace glintward {

namespace {
constexpr int PANEL_WIDTH = 340;
constexpr int PANEL_HEIGHT = 560;
// A click on the tray item can first take the focus from the panel (which hides it) and only then arrive as
// an activation: when the pointer was on the item as the focus left, an activation this soon after means
// "close", not "open again".
constexpr qint64 REOPEN_GUARD_MS = 500;
// States published faster than the display refreshes are taken in once per frame; the views cannot show more.
constexpr int FRAME_MS = 16;
// A tray host restarting (a panel crash, a shell reload) is back within seconds; gone longer, the panel opens
// as a window. At start, a watcher on the bus gets as long to take the item before the window opens instead.
constexpr int TRAY_GRACE_MS = 5000;
constexpr int XEMBED_POLL_MS = 1000;

// The panel's own texts for its two actions, under the panel's translation context so they translate once.
QString scanActionText(bool scanning) {
    return scanning ? QCoreApplication::translate("RadarPanel", "Stop scanning")
                    : QCoreApplication::translate("RadarPanel", "Start scanning");
}

// The glyph at the sizes hosts ask for, for an item that sends pixels rather than an icon.
QList<QImage> glyphImages(QRgb color) {
    QList<QImage> images;
    for (const int pixels : {16, 22, 32, 44, 64}) images.append(TrayGlyph::render(color, pixels));
    return images;
}

void onBrokenPipe(int) {}

// curl sends with signals off, so a peer closing during a TLS write raises SIGPIPE, whose default action ends
// the process. A handler that does nothing leaves the writer its EPIPE; unlike SIG_IGN it is reset at exec,
// so programs started from here (the desktop's Bluetooth settings) keep the default.
void ignoreBrokenPipes() {
    struct sigaction action {};
    action.sa_handler = onBrokenPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
}
}  // namespace

GlintwardTrayApp::GlintwardTrayApp(RadarModelSeams seams, QObject* parent)
    : QObject(parent),
      preferences_(UserDefaults::standard()),
      model_(preferences_, std::move(seams)),
      radarPanel_({.isScanning = [this] { return model_.state().scanning; },
                   .startScanning = [this] { model_.startScanning(); },
                   .stopScanning = [this] { model_.stopScanning(); },
                   .toggleMute = [this](const std::string& address) { model_.toggleMute(address); },
                   .openSystemSettings = [this] { model_.openSystemSettings(); },
                   .quit = [] { QCoreApplication::quit(); },
                   // The tray's panel goes away on Escape like a menu; a window stays, as windows do.
                   .dismiss =
                       [this] {
                           if (inTray_) hidePanel();
                       }}),
      settingsPanel_(preferences_, [this] { model_.wipeSessionLog(); }),
      onWayland_(QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
    // Before any sync can start.
    ignoreBrokenPipes();
    connect(&model_, &RadarModel::stateChanged, this, &GlintwardTrayApp::onStateChanged);
    connect(&model_, &RadarModel::mutedAddressesChanged, this, &GlintwardTrayApp::onMarksChanged);
    connect(&model_, &RadarModel::bluetoothOffChanged, this, &GlintwardTrayApp::onMarksChanged);

    chooseSceneGraphBackend();
    panel_ = std::make_unique<QQuickView>();
    initViewsModule(*panel_->engine());
    initPanelModule(*panel_->engine());
    panel_->setTitle(QStringLiteral("Glintward"));
    panel_->setColor(QColor(Palette::bgCard));
    panel_->setResizeMode(QQuickView::SizeRootObjectToView);
    panel_->setMinimumSize({PANEL_WIDTH, PANEL_HEIGHT});
    panel_->setMaximumSize({PANEL_WIDTH, PANEL_HEIGHT});
    panel_->resize(PANEL_WIDTH, PANEL_HEIGHT);
    panel_->setInitialProperties({{QStringLiteral("radar"), QVariant::fromValue(&radarPanel_)},
                                  {QStringLiteral("settings"), QVariant::fromValue(&settingsPanel_)},
                                  {QStringLiteral("animated"), false}});
    panel_->setSource(panelUrl());
    panel_->installEventFilter(this);
    // Animations run only while the panel is on screen.
    connect(panel_.get(), &QWindow::visibleChanged, this, [this](bool visible) {
        if (QQuickItem* root = panel_->rootObject()) root->setProperty("animated", visible);
        if (!visible) framed_ = false;
    });
    connect(panel_.get(), &QQuickWindow::frameSwapped, this, [this] { framed_ = true; });
    frameTimer_.setSingleShot(true);
    frameTimer_.setInterval(FRAME_MS);
    connect(&frameTimer_, &QTimer::timeout, this, [this] {
        if (panelBehind_ && panel_->isVisible()) applyToPanel();
    });
    connect(panel_.get(), &QWindow::activeChanged, this, [this] {
        if (inTray_ && !panel_->isActive() && panel_->isVisible()) panelLostFocus();
    });

    scanAction_ = menu_.addAction(scanActionText(false));
    connect(scanAction_, &QAction::triggered, &radarPanel_, &RadarPanelModel::toggleScanning);
    connect(menu_.addAction(QCoreApplication::translate("RadarPanel", "Quit Glintward")), &QAction::triggered,
            this, [] { QCoreApplication::quit(); });
    item_ = std::make_unique<StatusNotifierItem>(QDBusConnection::sessionBus(), QStringLiteral("Glintward"),
                                                 menu_.actions());
    connect(item_.get(), &StatusNotifierItem::activated, this, &GlintwardTrayApp::itemActivated);
    connect(item_.get(), &StatusNotifierItem::contextMenuRequested, this,
            [this](QPoint point) { menu_.popup(point); });
    connect(item_.get(), &StatusNotifierItem::shownChanged, this, &GlintwardTrayApp::updateTrayHost);
    trayGone_.setSingleShot(true);
    trayGone_.setInterval(TRAY_GRACE_MS);
    connect(&trayGone_, &QTimer::timeout, this, [this] {
        if (!item_->shown() && !tray_) enterWindowMode();
    });
    xembedPoll_.setInterval(XEMBED_POLL_MS);
    connect(&xembedPoll_, &QTimer::timeout, this, &GlintwardTrayApp::updateTrayHost);
    if (QGuiApplication::platformName() == QLatin1String("xcb")) xembedPoll_.start();

    updateGlyph();
    applyToPanel();
    updateTrayHost();
    // A watcher answers within moments; until it has, neither a tray nor a window is certain.
    if (!inTray_ && item_->watcherPresent()) {
        trayGone_.start();
    } else if (!inTray_) {
        enterWindowMode();
    }

    if (UserDefaults::standard().boolForKey("GlintwardAutoStart")) {
        QTimer::singleShot(0, &model_, [this] { model_.startScanning(); });
    }
}

GlintwardTrayApp::~GlintwardTrayApp() {
    // A window being destroyed still reports itself hidden; nothing here may hear that from a half-gone view.
    panel_->disconnect(this);
}

void GlintwardTrayApp::onStateChanged() {
    updateGlyph();
    panelBehind_ = true;
    if (panel_->isVisible() && !frameTimer_.isActive()) frameTimer_.start();
}

// A mute toggle or a change of Bluetooth comes from the user or the adapter, not at advertisement rate: the
// page shows it at once.
void GlintwardTrayApp::onMarksChanged() {
    updateGlyph();
    panelBehind_ = true;
    if (panel_->isVisible()) applyToPanel();
}

void GlintwardTrayApp::updateGlyph() {
    const RadarState& state = model_.state();
    const bool bluetoothOff = model_.bluetoothOff();
    const QRgb color = TrayGlyph::color(state.scanning, state.threatLevel, bluetoothOff);
    if (color != glyphColor_) {
        glyphColor_ = color;
        const QIcon icon = TrayGlyph::icon(color);
        if (tray_) tray_->setIcon(icon);
        item_->setIcon(glyphImages(color));
        // Without a tray the window's icon is where the status shows outside the panel.
        panel_->setIcon(icon);
    }
    // An action tells its menus only of a text that changed.
    scanAction_->setText(scanActionText(state.scanning));
    // The title the radar page shows, from the one place that words it; the item hears of it only when it
    // changed, not at every publish.
    const QString title = radarStatus(bluetoothOff, state.scanning, state.threatLevel).label;
    if (title == statusTitle_) return;
    statusTitle_ = title;
    if (tray_) tray_->setToolTip(statusTitle_);
    item_->setToolTip(statusTitle_);
}

void GlintwardTrayApp::applyToPanel() {
    panelBehind_ = false;
    radarPanel_.apply(model_.state(), model_.mutedAddresses(), model_.bluetoothOff());
    settingsPanel_.refresh();
}

void GlintwardTrayApp::showPanel() {
    // Brought up to date while still hidden, so that it opens on the current picture without fading to it.
    if (panelBehind_) applyToPanel();
    placePanel();
    if (!panel_->isVisible()) reached_ = false;
    panel_->show();
    panel_->raise();
    panel_->requestActivate();
}

void GlintwardTrayApp::bringForward(const ActivationToken& token) {
    panel_->setWindowStates(panel_->windowStates() & ~Qt::WindowMinimized);
    activation_.beforeShow(*panel_, token);
    // Mapped, even where nothing of it is in view now (on another workspace, say).
    if (panel_->isVisible() && framed_) {
        showPanel();
        activation_.afterShow(*panel_, token);
        return;
    }
    showPanel();
    // A panel shown just now is on screen with its first frame, and only then may it take the focus.
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = connect(panel_.get(), &QQuickWindow::frameSwapped, this, [this, token, once] {
        disconnect(*once);
        activation_.afterShow(*panel_, token);
    });
}

bool GlintwardTrayApp::eventFilter(QObject* watched, QEvent* event) {
    if (watched == panel_.get()) {
        const QEvent::Type type = event->type();
        if (type == QEvent::Enter || type == QEvent::KeyPress || type == QEvent::MouseButtonPress)
            reached_ = true;
        // Reached, but left without the focus ever coming back (the pointer passed through): as a focus loss.
        if (type == QEvent::Leave && onWayland_ && inTray_ && !panel_->isActive() && panel_->isVisible())
            panelLostFocus();
    }
    return QObject::eventFilter(watched, event);
}

void GlintwardTrayApp::hidePanel() {
    panel_->hide();
}

void GlintwardTrayApp::trayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) {
        togglePanel();
        triggerShowed_ = panel_->isVisible();
        return;
    }
    if (reason != QSystemTrayIcon::DoubleClick) return;
    // The second press of a pair whose first press has toggled already: the pair leaves the panel as that
    // press did. When the second press took the focus from the panel just opened (which hid it), it opens
    // again; when the focus loss comes after this, it leaves the panel open.
    if (triggerShowed_ && !panel_->isVisible()) {
        showPanel();
    } else if (panel_->isVisible()) {
        sinceDoubleClick_.start();
    }
    sinceFocusHide_.invalidate();
}

void GlintwardTrayApp::itemActivated(std::optional<QPoint> hostPoint) {
    // A click on the item says a host shows it, even before the watcher has answered; should the watcher
    // never say so, the grace runs out as for a tray that went away.
    if (!inTray_) {
        enterTrayMode();
        updateTrayHost();
    }
    // A point on no screen is no point at all.
    hostPoint_ = hostPoint && QGuiApplication::screenAt(*hostPoint) ? hostPoint : std::nullopt;
    togglePanel();
}

// The panel, shown from the tray, lost the focus. A click on the tray item may have taken it, and then the
// activation that follows means "close", not "open again": togglePanel honours that for a short while.
void GlintwardTrayApp::panelLostFocus() {
    // On Wayland the panel opens where the compositor puts it, often far from the tray: where the focus
    // follows the mouse, a window crossed on the way takes the focus before the pointer arrives.
    if (onWayland_ && !reached_) return;
    // In an X11 tray the item's place is known; a StatusNotifierItem's is not, so any loss may be that click.
    const bool maybeOnItem = !tray_ || tray_->geometry().contains(QCursor::pos());
    // The second press of a double click that opened the panel: it stays.
    if (tray_ && maybeOnItem && sinceDoubleClick_.isValid() &&
        sinceDoubleClick_.elapsed() <= REOPEN_GUARD_MS) {
        sinceDoubleClick_.invalidate();
        panel_->requestActivate();
        return;
    }
    if (maybeOnItem) {
        sinceFocusHide_.start();
    } else {
        sinceFocusHide_.invalidate();
    }
    hidePanel();
}

void GlintwardTrayApp::togglePanel() {
    if (panel_->isVisible()) {
        hidePanel();
    } else if (!sinceFocusHide_.isValid() || sinceFocusHide_.elapsed() > REOPEN_GUARD_MS) {
        showPanel();
    }
    sinceFocusHide_.invalidate();
}

void GlintwardTrayApp::placePanel() {
    if (!inTray_) return;
    // The X11 tray's icon knows its rectangle; a StatusNotifierItem host sends a point; else the pointer.
    const QRect embedded = tray_ ? tray_->geometry() : QRect();
    const QRect item = embedded.isValid() ? embedded : hostPoint_ ? QRect(*hostPoint_, QSize(1, 1)) : QRect();
    const QPoint anchor = item.isValid() ? item.center() : QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(anchor);
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, PANEL_WIDTH, PANEL_HEIGHT);
    // Beneath an item in the top half of the screen, above one in the bottom half.
    const bool below = anchor.y() < area.center().y();
    const int edge = item.isValid() ? (below ? item.bottom() + 1 : item.top()) : anchor.y();
    int x = anchor.x() - PANEL_WIDTH / 2;
    int y = below ? edge + 4 : edge - 4 - PANEL_HEIGHT;
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() + 1 - PANEL_WIDTH));
    y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() + 1 - PANEL_HEIGHT));
    panel_->setPosition(x, y);
}

bool GlintwardTrayApp::xembedTrayAvailable() const {
    // Asked only with no watcher on the bus: Qt decides once, at its first question, whether its own tray
    // icon goes over the bus, and it must settle on the X11 tray.
    return QGuiApplication::platformName() == QLatin1String("xcb") && !item_->watcherPresent() &&
           QSystemTrayIcon::isSystemTrayAvailable();
}

void GlintwardTrayApp::updateTrayHost() {
    const bool overBus = item_->shown();
    const bool embedded = !overBus && xembedTrayAvailable();
    // QSystemTrayIcon only where it embeds: over the bus our own item shows the glyph, and an icon whose tray
    // has gone would be left on the screen as a window of its own.
    if (embedded && !tray_) {
        tray_ = std::make_unique<QSystemTrayIcon>(TrayGlyph::icon(glyphColor_));
        tray_->setToolTip(statusTitle_);
        tray_->setContextMenu(&menu_);
        connect(tray_.get(), &QSystemTrayIcon::activated, this, &GlintwardTrayApp::trayActivated);
        tray_->show();
    } else if (!embedded && tray_) {
        tray_.reset();
    }
    if (overBus || embedded) {
        trayGone_.stop();
        if (!inTray_) enterTrayMode();
    } else if (inTray_ && !trayGone_.isActive()) {
        trayGone_.start();
    }
}

void GlintwardTrayApp::enterTrayMode() {
    // Window flags change only on a hidden window; the panel then waits in the tray like one opened there.
    hidePanel();
    inTray_ = true;
    startToken_.reset();
    panel_->setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        gui->setQuitOnLastWindowClosed(false);
    }
}

void GlintwardTrayApp::enterWindowMode() {
    const bool wasTray = inTray_;
    inTray_ = false;
    if (wasTray) {
        hidePanel();
        panel_->setFlags(Qt::Window);
    }
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        gui->setQuitOnLastWindowClosed(true);
    }
    // At start a window opens as any does; one that replaces a tray gone away comes forward.
    if (wasTray) {
        showPanel();
    } else if (startToken_) {
        const ActivationToken token = *std::exchange(startToken_, std::nullopt);
        bringForward(token);
    } else {
        panel_->show();
    }
}

void GlintwardTrayApp::presentStartToken(const ActivationToken& token) {
    if (!token.forWayland() || inTray_) return;
    if (panel_->isVisible()) {
        bringForward(token);
    } else {
        startToken_ = token;
    }
}

}  // namespace glintward
