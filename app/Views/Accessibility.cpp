#include "app/Views/Accessibility.h"

namespace glintward {

AccessibilityState::AccessibilityState(QObject* parent) : QObject(parent) {
    QAccessible::installActivationObserver(this);
}

AccessibilityState::~AccessibilityState() {
    QAccessible::removeActivationObserver(this);
}

void AccessibilityState::accessibilityActiveChanged(bool active) {
    if (active_ == active) return;
    active_ = active;
    emit activeChanged();
}

void AccessibilityState::announce(QQuickItem* item) const {
    if (!item || !active_) return;
    QAccessibleEvent event(item, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&event);
}

}  // namespace glintward
