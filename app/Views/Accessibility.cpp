#include "app/Views/Accessibility.h"

namespace glintward {

AccessibilityState::AccessibilityState(QObject* parent) : QObject(parent) {
    QAccessible::installActivationObserver(this);
}

AccessibilityState::~AccessibilityState() {
    QAccessible::removeActivationObserver(this);
}

void AccessibilityState::announce(QQuickItem* item) const {
    if (!item || !QAccessible::isActive()) return;
    QAccessibleEvent event(item, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&event);
}

}  // namespace glintward
