#include "app/Views/SweepWedge.h"

#include <QConicalGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>
#include <algorithm>

namespace glintward {

namespace {
QColor tinted(QColor color, qreal alpha) {
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}
}  // namespace

SweepWedge::SweepWedge(QQuickItem* parent) : PictureItem(parent) {
    setTransformOrigin(BottomLeft);
    setImplicitSize(qCeil(radius_), qCeil(radius_));
}

void SweepWedge::setSweep(qreal sweep) {
    if (qFuzzyCompare(sweep, sweep_)) return;
    sweep_ = sweep;
    repaint();
    emit sweepChanged();
}

void SweepWedge::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    repaint();
    emit colorChanged();
}

void SweepWedge::setRadius(qreal radius) {
    if (qFuzzyCompare(radius, radius_)) return;
    radius_ = radius;
    setImplicitSize(qCeil(std::max<qreal>(0, radius)), qCeil(std::max<qreal>(0, radius)));
    repaint();
    emit radiusChanged();
}

void SweepWedge::paint(QPainter& painter) const {
    const qreal sweep = std::clamp<qreal>(sweep_, 0, 90);
    if (radius_ <= 0 || sweep <= 0) return;
    const QPointF apex(0, height());
    // The conical gradient runs counter-clockwise on screen from its angle, which is the way from the leading
    // edge back across the slice.
    QConicalGradient fill(apex, 0);
    fill.setColorAt(0, tinted(color_, 0.45));
    fill.setColorAt(sweep / 720, tinted(color_, 0.1));
    fill.setColorAt(sweep / 360, tinted(color_, 0));
    fill.setColorAt(1, tinted(color_, 0));
    QPainterPath slice(apex);
    // Angles here grow counter-clockwise on screen: the slice from 0 up to `sweep` is the one that ends at
    // the 0-degree direction on the screen's clockwise scale.
    slice.arcTo(QRectF(apex.x() - radius_, apex.y() - radius_, 2 * radius_, 2 * radius_), 0, sweep);
    slice.closeSubpath();
    painter.fillPath(slice, fill);
}

}  // namespace glintward
