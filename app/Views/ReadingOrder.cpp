#include "app/Views/ReadingOrder.h"

#include <QTimer>
#include <algorithm>

namespace glintward {

void ReadingOrder::setTarget(QQuickItem* target) {
    if (target_ == target) return;
    target_ = target;
    follow();
    emit targetChanged();
}

void ReadingOrder::setActive(bool active) {
    if (active_ == active) return;
    active_ = active;
    follow();
    emit activeChanged();
}

void ReadingOrder::follow() {
    watch_.reset();
    if (!target_ || !active_) return;
    watch_ = std::make_unique<QObject>();
    connect(target_, &QQuickItem::childrenChanged, watch_.get(), [this] { follow(); });
    for (QQuickItem* child : target_->childItems()) {
        connect(child, &QQuickItem::yChanged, watch_.get(), [this] { schedule(); });
    }
    schedule();
}

void ReadingOrder::schedule() {
    if (scheduled_) return;
    scheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        scheduled_ = false;
        arrange();
    });
}

void ReadingOrder::arrange() {
    if (!target_ || !watch_) return;
    const QList<QQuickItem*> children = target_->childItems();
    QList<QQuickItem*> sorted = children;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const QQuickItem* a, const QQuickItem* b) { return a->y() < b->y(); });
    if (sorted == children) return;
    // Restacking changes nothing drawn: the rows do not overlap.
    for (qsizetype i = 1; i < sorted.size(); ++i) sorted[i]->stackAfter(sorted[i - 1]);
}

}  // namespace glintward
