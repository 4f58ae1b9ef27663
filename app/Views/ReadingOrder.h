#pragma once
// Keeps the children of an item in the order they stand on the screen while an assistive technology listens.

#include <QObject>
#include <QPointer>
#include <QQuickItem>
#include <QtQml/qqmlregistration.h>
#include <memory>

namespace glintward {

// Screen readers read an item's children in the order the item holds them, and a list makes its rows in the
// order they come into sight (a card that arrives above the session log is made after it): this puts the
// children of `target` back in order from top to bottom whenever one is added or moves. While it is not
// `active` (bound to whether an assistive technology listens) it watches nothing, so it costs nothing.
class ReadingOrder : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QQuickItem* target READ target WRITE setTarget NOTIFY targetChanged)
    Q_PROPERTY(bool active READ active WRITE setActive NOTIFY activeChanged)
public:
    using QObject::QObject;

    QQuickItem* target() const { return target_; }
    void setTarget(QQuickItem* target);
    bool active() const { return active_; }
    void setActive(bool active);

signals:
    void targetChanged();
    void activeChanged();

private:
    // Watches the target's children while active, and nothing otherwise.
    void follow();
    // Once per turn of the event loop, however many rows moved in it.
    void schedule();
    void arrange();

    QPointer<QQuickItem> target_;
    bool active_ = false;
    // The owner of every connection made to watch; replaced to drop them all.
    std::unique_ptr<QObject> watch_;
    bool scheduled_ = false;
};

}  // namespace glintward
