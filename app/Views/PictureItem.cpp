#include "app/Views/PictureItem.h"

#include <QPainter>
#include <QQuickWindow>
#include <QSGImageNode>
#include <QtMath>
#include <algorithm>

namespace glintward {

namespace {
QSize devicePixels(QSizeF size, qreal ratio) {
    return {std::max(1, qCeil(size.width() * ratio)), std::max(1, qCeil(size.height() * ratio))};
}
}  // namespace

PictureItem::PictureItem(QQuickItem* parent) : QQuickItem(parent) {
    setFlag(ItemHasContents);
}

QImage PictureItem::picture(qreal ratio) const {
    const QSize pixels = devicePixels(size(), ratio);
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (width() <= 0 || height() <= 0) return image;
    QPainter painter(&image);
    painter.scale(pixels.width() / width(), pixels.height() / height());
    painter.setRenderHint(QPainter::Antialiasing);
    paint(painter);
    return image;
}

void PictureItem::repaint() {
    stale_ = true;
    update();
}

void PictureItem::geometryChange(const QRectF& next, const QRectF& before) {
    QQuickItem::geometryChange(next, before);
    if (next.size() != before.size()) repaint();
}

QSGNode* PictureItem::updatePaintNode(QSGNode* old, UpdatePaintNodeData*) {
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
    if (stale_ || !node->texture() || node->texture()->textureSize() != devicePixels(size(), ratio)) {
        node->setTexture(window()->createTextureFromImage(picture(ratio)));
        stale_ = false;
    }
    node->setRect(boundingRect());
    return node;
}

}  // namespace glintward
