#pragma once
// An item drawn as one picture of its size in device pixels, painted again only when what it shows changes.
// Both of Qt Quick's renderers then move, turn or scale the picture each frame without painting: one
// transformed copy on the software backend, one textured quad on a graphics card, at any display scale. (A
// picture node rather than a painted item: the software backend copies a painted item's picture at several
// times the cost.)

#include <QtQml/qqmlregistration.h>
#include <QImage>
#include <QPainter>
#include <QQuickItem>
#include <QtMath>
#include <algorithm>

namespace glintward {

// The whole device pixels that `size` points cover at `ratio` pixels per point, at least one each way.
inline QSize devicePixels(QSizeF size, qreal ratio) {
    return {std::max(1, qCeil(size.width() * ratio)), std::max(1, qCeil(size.height() * ratio))};
}

// A picture `size` points large at `ratio` device pixels per point, transparent where `paint` draws nothing;
// `paint` takes a painter that draws in points, antialiased.
template <class Paint>
QImage paintedPicture(QSizeF size, qreal ratio, Paint&& paint) {
    const QSize pixels = devicePixels(size, ratio);
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (size.width() <= 0 || size.height() <= 0) return image;
    QPainter painter(&image);
    painter.scale(pixels.width() / size.width(), pixels.height() / size.height());
    painter.setRenderHint(QPainter::Antialiasing);
    paint(painter);
    return image;
}

class PictureItem : public QQuickItem {
    Q_OBJECT
    QML_ANONYMOUS

public:
    explicit PictureItem(QQuickItem* parent = nullptr);

    // The picture at `ratio` device pixels per point.
    QImage picture(qreal ratio) const;

protected:
    // Paints the item in its own coordinates.
    virtual void paint(QPainter& painter) const = 0;
    // Call when what the picture shows changes.
    void repaint();

    QSGNode* updatePaintNode(QSGNode* old, UpdatePaintNodeData*) override;
    void geometryChange(const QRectF& next, const QRectF& before) override;

private:
    bool stale_ = true;  // the picture no longer shows the item
};

}  // namespace glintward
