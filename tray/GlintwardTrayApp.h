#pragma once
// The application: one set of preferences, one radar model, the tray item with its drawn glyph, and the
// 340 x 560 panel that the tray item toggles. Without a system tray the panel is an ordinary window shown at
// start, so the application is never invisible.

#include <QElapsedTimer>
#include <QObject>
#include <QRgb>
#include <QSystemTrayIcon>
#include <QTimer>
#include <memory>

#include "app/AppPreferences.h"
#include "app/RadarModel.h"
#include "tray/RadarPanelModel.h"
#include "tray/SettingsPanelModel.h"
#include "tray/WindowActivation.h"

class QQuickView;

namespace glintward {

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
    // Null when the desktop has no system tray.
    QSystemTrayIcon* tray() { return tray_.get(); }

    void showPanel();
    void hidePanel();
    // A later start asked for the panel: opens it (out of its minimised state, for a window) and presents the
    // start's token so that the desktop lets it take the focus.
    void bringForward(const ActivationToken& token);
    void togglePanel();
    // A click toggles the panel; the double click that a second quick click makes changes nothing more.
    void trayActivated(QSystemTrayIcon::ActivationReason reason);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The glyph follows every publish; the panel's view models only while the panel is shown, and a state
    // published at advertisement rate at most once per display frame.
    void onStateChanged();
    // The tray's panel hides when it loses the focus, unless the loss is part of a click on the tray item.
    void onPanelActiveChanged();
    void onMarksChanged();
    void updateGlyph();
    void applyToPanel();
    void placePanel();

    AppPreferences preferences_;
    RadarModel model_;
    RadarPanelModel radarPanel_;
    SettingsPanelModel settingsPanel_;
    std::unique_ptr<QQuickView> panel_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    QRgb glyphColor_ = 0;
    bool panelBehind_ = false;  // the view models have not seen the latest publish
    QTimer frameTimer_;
    QElapsedTimer sinceFocusHide_;
    QElapsedTimer sinceDoubleClick_;
    bool triggerShowed_ = false;  // the last click on the tray item left the panel shown
    const bool onWayland_;
    bool reached_ = false;  // the pointer or the keyboard has been in the panel since it opened
    bool framed_ = false;   // the panel has shown a frame since it opened
    WindowActivation activation_;
};

}  // namespace glintward
