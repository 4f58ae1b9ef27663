#include "tray/GlintwardTrayApp.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <csignal>
#include <memory>

#include "app/DesignSystem.h"
#include "app/Views/ViewsModule.h"
#include "app/platform/UserDefaults.h"
#include "tray/PanelModule.h"
#include "tray/SceneGraphBackend.h"
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
                           if (tray_) hidePanel();
                       }}),
      settingsPanel_(preferences_, [this] { model_.wipeSessionLog(); }),
      onWayland_(QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
    // Before any sync can start.
    ignoreBrokenPipes();
    connect(&model_, &RadarModel::stateChanged, this, &GlintwardTrayApp::onStateChanged);
    connect(&model_, &RadarModel::mutedAddressesChanged, this, &GlintwardTrayApp::onMarksChanged);
    connect(&model_, &RadarModel::bluetoothOffChanged, this, &GlintwardTrayApp::onMarksChanged);

    const bool withTray = QSystemTrayIcon::isSystemTrayAvailable();
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
    updateGlyph();
    applyToPanel();

    if (withTray) {
        panel_->setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        connect(panel_.get(), &QWindow::activeChanged, this, &GlintwardTrayApp::onPanelActiveChanged);
        QCoreApplication* app = QCoreApplication::instance();
        if (auto* gui = qobject_cast<QGuiApplication*>(app)) gui->setQuitOnLastWindowClosed(false);
        tray_ = std::make_unique<QSystemTrayIcon>(TrayGlyph::icon(glyphColor_));
        connect(tray_.get(), &QSystemTrayIcon::activated, this, &GlintwardTrayApp::trayActivated);
        tray_->show();
    } else {
        panel_->show();
    }

    if (UserDefaults::standard().boolForKey("GlintwardAutoStart")) {
        QTimer::singleShot(0, &model_, [this] { model_.startScanning(); });
    }
}

GlintwardTrayApp::~GlintwardTrayApp() {
    // A window being destroyed still reports itself hidden; nothing here may hear that from a half-gone view.
    panel_->disconnect(this);
}

void GlintwardTrayApp::onPanelActiveChanged() {
    if (!panel_->isActive() && panel_->isVisible()) {
        // On Wayland the panel opens where the compositor puts it, often far from the tray: where the
        // focus follows the mouse, a window crossed on the way takes the focus before the pointer
        // arrives.
        if (onWayland_ && !reached_) return;
        const bool onItem = tray_ && tray_->geometry().contains(QCursor::pos());
        // The second press of a double click that opened the panel: it stays.
        if (onItem && sinceDoubleClick_.isValid() && sinceDoubleClick_.elapsed() <= REOPEN_GUARD_MS) {
            sinceDoubleClick_.invalidate();
            panel_->requestActivate();
            return;
        }
        if (onItem) {
            sinceFocusHide_.start();
        } else {
            sinceFocusHide_.invalidate();
        }
        hidePanel();
    }
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
    const QRgb color = TrayGlyph::color(state.scanning, state.threatLevel, model_.bluetoothOff());
    if (color != glyphColor_) {
        glyphColor_ = color;
        // Without a tray the window's icon is where the status shows outside the panel.
        if (tray_) {
            tray_->setIcon(TrayGlyph::icon(color));
        } else {
            panel_->setIcon(TrayGlyph::icon(color));
        }
    }
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
        if (type == QEvent::Leave && onWayland_ && tray_ && !panel_->isActive()) onPanelActiveChanged();
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

void GlintwardTrayApp::togglePanel() {
    if (panel_->isVisible()) {
        hidePanel();
    } else if (!sinceFocusHide_.isValid() || sinceFocusHide_.elapsed() > REOPEN_GUARD_MS) {
        showPanel();
    }
    sinceFocusHide_.invalidate();
}

void GlintwardTrayApp::placePanel() {
    if (!tray_) return;
    const QRect item = tray_->geometry();
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

}  // namespace glintward
