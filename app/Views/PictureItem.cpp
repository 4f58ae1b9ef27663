#include "app/Views/PictureItem.h"

#include <QQuickWindow>
#include <QSGImageNode>

namespace glintward {

PictureItem::PictureItem(QQuickItem* parent) : QQuickItem(parent) {
    setFlag(ItemHasContents);
}

QImage PictureItem::picture(qreal ratio) const {
    return paintedPicture(size(), ratio, [this](QPainter& painter) { paint(painter); });
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
