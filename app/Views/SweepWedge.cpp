#include "app/Views/SweepWedge.h"

#include <QConicalGradient>
#include <QPainter>
#include <QPainterPath>
#include <QQuickWindow>
#include <QSGImageNode>
#include <QtMath>
#include <algorithm>

namespace glintward {

namespace {
QColor tinted(QColor color, qreal alpha) {
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}
}  // namespace

SweepWedge::SweepWedge(QQuickItem* parent) : QQuickItem(parent) {
    setFlag(ItemHasContents);
    setTransformOrigin(BottomLeft);
    setImplicitSize(qCeil(radius_), qCeil(radius_));
}

void SweepWedge::setSweep(qreal sweep) {
    if (qFuzzyCompare(sweep, sweep_)) return;
    sweep_ = sweep;
    stale_ = true;
    update();
    emit sweepChanged();
}

void SweepWedge::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    stale_ = true;
    update();
    emit colorChanged();
}

void SweepWedge::setRadius(qreal radius) {
    if (qFuzzyCompare(radius, radius_)) return;
    radius_ = radius;
    setImplicitSize(qCeil(std::max<qreal>(0, radius)), qCeil(std::max<qreal>(0, radius)));
    stale_ = true;
    update();
    emit radiusChanged();
}

QImage SweepWedge::picture(qreal ratio) const {
    const QSize pixels(std::max(1, qCeil(width() * ratio)), std::max(1, qCeil(height() * ratio)));
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const qreal sweep = std::clamp<qreal>(sweep_, 0, 90);
    if (radius_ <= 0 || sweep <= 0) return image;
    QPainter painter(&image);
    painter.scale(pixels.width() / width(), pixels.height() / height());
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
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(slice, fill);
    return image;
}

void SweepWedge::geometryChange(const QRectF& next, const QRectF& before) {
    QQuickItem::geometryChange(next, before);
    if (next.size() != before.size()) {
        stale_ = true;
        update();
    }
}

QSGNode* SweepWedge::updatePaintNode(QSGNode* old, UpdatePaintNodeData*) {
    auto* node = static_cast<QSGImageNode*>(old);
    if (width() <= 0 || height() <= 0 || !window()) {
        delete node;
        return nullptr;
    }
    const qreal ratio = window()->effectiveDevicePixelRatio();
    if (!node) {
        node = window()->createImageNode();
        node->setOwnsTexture(true);
        node->setFiltering(QSGTexture::Linear);
        stale_ = true;
    }
    const QSize pixels(std::max(1, qCeil(width() * ratio)), std::max(1, qCeil(height() * ratio)));
    if (stale_ || !node->texture() || node->texture()->textureSize() != pixels) {
        node->setTexture(window()->createTextureFromImage(picture(ratio)));
        stale_ = false;
    }
    node->setRect(boundingRect());
    return node;
}

}  // namespace glintward
