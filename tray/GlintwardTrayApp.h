#pragma once
// The application: one set of preferences, one radar model, the tray item with its drawn glyph, and the
// 340 x 560 panel that the tray item toggles. The item is our own StatusNotifierItem where a host shows one
// on the session bus, else QSystemTrayIcon in an X11 (XEmbed) tray. Without either the panel is an ordinary
// window, so the application is never invisible; a tray that appears later is taken, and one gone for longer
// than a host takes to restart gives the window back.

#include <QElapsedTimer>
#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QRgb>
#include <QSystemTrayIcon>
#include <QTimer>
#include <memory>
#include <optional>

#include "app/AppPreferences.h"
#include "app/RadarModel.h"
#include "tray/RadarPanelModel.h"
#include "tray/SettingsPanelModel.h"
#include "tray/WindowActivation.h"

class QQuickView;

namespace glintward {

class StatusNotifierItem;

class GlintwardTrayApp : public QObject {
    Q_OBJECT
public:
    // Needs a QApplication. A broken pipe no longer ends the process from here on (writes get EPIPE). Reads
    // "GlintwardAutoStart" once; when true, scanning starts from the event loop right after construction. The
    // seams reach the radar model; the defaults are the real platform.
    explicit GlintwardTrayApp(RadarModelSeams seams = {}, QObject* parent = nullptr);
    ~GlintwardTrayApp() override;

    AppPreferences& preferences() { return preferences_; }
    RadarModel& model() { return model_; }
    QQuickView& panel() { return *panel_; }
    // The X11 tray's icon: null unless an XEmbed tray (and no StatusNotifierItem host) is there.
    QSystemTrayIcon* tray() { return tray_.get(); }
    // The panel behaves as the tray's (frameless, hides on focus loss) rather than as a window.
    bool inTray() const { return inTray_; }
    // The item's menu: the panel's scan toggle and quit.
    QMenu& menu() { return menu_; }

    void showPanel();
    void hidePanel();
    // A later start asked for the panel: opens it (out of its minimised state, for a window) and presents the
    // start's token so that the desktop lets it take the focus.
    void bringForward(const ActivationToken& token);
    // This start's own Wayland token: presented by the window the app opens when no tray takes it (at once, or
    // once a watcher on the bus has had its say); a tray's panel waits for a click instead.
    void presentStartToken(const ActivationToken& token);
    void togglePanel();
    // A click toggles the panel; the double click that a second quick click makes changes nothing more.
    void trayActivated(QSystemTrayIcon::ActivationReason reason);
    // A click on the StatusNotifierItem, with where the host says the item is, when it says.
    void itemActivated(std::optional<QPoint> hostPoint);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The glyph follows every publish; the panel's view models only while the panel is shown, and a state
    // published at advertisement rate at most once per display frame.
    void onStateChanged();
    void onMarksChanged();
    void updateGlyph();
    void applyToPanel();
    void placePanel();
    void panelLostFocus();
    // Follows the hosts coming and going: the item to use, and tray or window.
    void updateTrayHost();
    bool xembedTrayAvailable() const;
    void enterTrayMode();
    void enterWindowMode();

    AppPreferences preferences_;
    RadarModel model_;
    RadarPanelModel radarPanel_;
    SettingsPanelModel settingsPanel_;
    std::unique_ptr<QQuickView> panel_;
    QMenu menu_;
    QAction* scanAction_ = nullptr;
    std::unique_ptr<StatusNotifierItem> item_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    bool inTray_ = false;
    QTimer trayGone_;    // the grace a tray host has to come back before the panel becomes a window
    QTimer xembedPoll_;  // an X11 tray announces itself to no one who is not looking
    std::optional<QPoint> hostPoint_;  // where the StatusNotifierItem host last said the item is
    QRgb glyphColor_ = 0;
    QString statusTitle_;
    bool panelBehind_ = false;  // the view models have not seen the latest publish
    QTimer frameTimer_;
    QElapsedTimer sinceFocusHide_;
    QElapsedTimer sinceDoubleClick_;
    bool triggerShowed_ = false;  // the last click on the tray item left the panel shown
    const bool onWayland_;
    bool reached_ = false;  // the pointer or the keyboard has been in the panel since it opened
    bool framed_ = false;   // the panel has shown a frame since it opened
    std::optional<ActivationToken> startToken_;  // this start's own, until the window mode is settled
    WindowActivation activation_;
};

}  // namespace glintward
