#include "app/Views/Announcer.h"

#include <QAccessible>
#include <QQuickItem>

namespace glintward {

void AccessibleAnnouncer::announce(QQuickItem* item) const {
    if (!item || !QAccessible::isActive()) return;
    QAccessibleEvent event(item, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&event);
}

}  // namespace glintward
