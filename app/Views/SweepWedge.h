#pragma once
// The radar's sweep: the pie slice whose apex is the item's bottom-left corner. It ends at the 0-degree
// direction (pointing right) and starts `sweep` degrees (at most 90) before it, bright at its leading edge
// and fading to nothing at its trailing edge. The item is the slice's quarter of the circle and no more
// (`radius` square, rounded up to whole pixels) and turns about its apex.
//
// Painted once into a picture of the item's size in device pixels, which both of Qt Quick's renderers then
// turn each frame without painting again: a turning picture is one transformed copy on the software backend
// and one textured quad on a graphics card, at any display scale. (A picture node rather than a painted item:
// the software backend copies a painted item's picture at several times the cost.)

#include <QtQml/qqmlregistration.h>
#include <QColor>
#include <QImage>
#include <QQuickItem>

namespace glintward {

class SweepWedge : public QQuickItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(qreal sweep READ sweep WRITE setSweep NOTIFY sweepChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(qreal radius READ radius WRITE setRadius NOTIFY radiusChanged)

public:
    explicit SweepWedge(QQuickItem* parent = nullptr);

    qreal sweep() const { return sweep_; }
    void setSweep(qreal sweep);
    QColor color() const { return color_; }
    void setColor(const QColor& color);
    qreal radius() const { return radius_; }
    void setRadius(qreal radius);

    // The picture at `ratio` device pixels per point.
    QImage picture(qreal ratio) const;

protected:
    QSGNode* updatePaintNode(QSGNode* old, UpdatePaintNodeData*) override;
    void geometryChange(const QRectF& next, const QRectF& before) override;

signals:
    void sweepChanged();
    void colorChanged();
    void radiusChanged();

private:
    qreal sweep_ = 88;
    QColor color_ = Qt::white;
    qreal radius_ = 50;
    bool stale_ = true;  // the picture no longer shows the properties
};

}  // namespace glintward
