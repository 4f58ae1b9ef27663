#pragma once
// The tray item of the desktops whose tray is a StatusNotifierItem host on the session bus (KDE Plasma, GNOME
// with the AppIndicator extension, swaybar, waybar): the item and its menu (com.canonical.dbusmenu) exported
// from this process and registered with the bus's org.kde.StatusNotifierWatcher. Unlike QSystemTrayIcon it
// passes on the point the host sends with a click, where the item is, and it says when a host is there to
// show it, registering again whenever a watcher appears.

#include <QDBusConnection>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>
#include <optional>

class QAction;

namespace glintward {

class SniObject;
class SniMenuObject;

class StatusNotifierItem : public QObject {
    Q_OBJECT
public:
    // Exports the item on `bus` and registers it with the watcher when there is one. The menu shows `actions`
    // (their text, enabled state, visibility and separators) and triggers them; they must outlive this.
    StatusNotifierItem(QDBusConnection bus, const QString& title, QList<QAction*> actions,
                       QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // A watcher has taken the item and says a host shows it.
    bool shown() const { return registered_ && hostThere_; }
    // A watcher owns its name on the bus, whether or not it has answered yet.
    bool watcherPresent() const { return watcherPresent_; }
    QString serviceName() const { return serviceName_; }

    // The icon at several sizes, largest last.
    void setIcon(const QList<QImage>& images);
    void setToolTip(const QString& title);

signals:
    // A click on the item; `point` is where the host says the item is, when it says.
    void activated(std::optional<QPoint> point);
    void contextMenuRequested(QPoint point);
    void shownChanged(bool shown);

private slots:
    void onHostRegistered();
    void onHostUnregistered();

private:
    void registerWithWatcher();
    void queryHost();
    void setState(bool registered, bool hostThere);

    QDBusConnection bus_;
    QString serviceName_;
    SniObject* item_ = nullptr;
    SniMenuObject* menu_ = nullptr;
    bool watcherPresent_ = false;  // followed through the bus's name changes, so asking costs no call
    bool registered_ = false;
    bool hostThere_ = false;
    quint64 attempt_ = 0;  // answers to an earlier registration are ignored
};

}  // namespace glintward
