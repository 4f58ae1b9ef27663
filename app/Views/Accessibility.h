#pragma once
// What the views need to know of assistive technologies: whether one listens, and a way to announce.

#include <QAccessible>
#include <QObject>
#include <QQuickItem>
#include <QtQml/qqmlregistration.h>

namespace glintward {

class AccessibilityState : public QObject, private QAccessible::ActivationObserver {
    Q_OBJECT
    QML_NAMED_ELEMENT(Accessibility)
    QML_SINGLETON
    // Whether an assistive technology listens. Texts name themselves only while one does: a name bound to
    // `active ? text : ""` reads nothing else while it is false, so a row's text that changes at every state
    // published costs no name update while nobody listens.
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)
public:
    explicit AccessibilityState(QObject* parent = nullptr);
    ~AccessibilityState() override;

    bool active() const { return active_; }
    // Raises "showing" on the item, as a notification raises it when it appears: screen readers speak a
    // notification that appears at once, wherever the focus is, and this toolkit offers no other way to
    // announce on this platform. Does nothing while no assistive technology listens.
    Q_INVOKABLE void announce(QQuickItem* item) const;

signals:
    void activeChanged();

private:
    void accessibilityActiveChanged(bool active) override;

    // As the platform last said.
    bool active_ = QAccessible::isActive();
};

}  // namespace glintward
