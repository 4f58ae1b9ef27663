#pragma once
// Tells screen readers of a notification as it comes up, wherever the focus is.

#include <QObject>
#include <QQuickItem>
#include <QtQml/qqmlregistration.h>

namespace glintward {

class AccessibleAnnouncer : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(Announcer)
    QML_SINGLETON
public:
    using QObject::QObject;
    // Raises "showing" on the item, as a notification raises it when it appears: screen readers speak a
    // notification that appears at once, and the toolkit has no other way to announce on this platform. Costs
    // nothing while no assistive technology listens.
    Q_INVOKABLE void announce(QQuickItem* item) const;
};

}  // namespace glintward
