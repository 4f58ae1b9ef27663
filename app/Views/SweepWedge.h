#pragma once
// The radar's sweep: the pie slice whose apex is the item's bottom-left corner. It ends at the 0-degree
// direction (pointing right) and starts `sweep` degrees (at most 90) before it, bright at its leading edge
// and fading to nothing at its trailing edge. The item is the slice's quarter of the circle and no more
// (`radius` square, rounded up to whole pixels) and turns about its apex.

#include <QtQml/qqmlregistration.h>
#include <QColor>

#include "app/Views/PictureItem.h"

namespace glintward {

class SweepWedge : public PictureItem {
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

protected:
    void paint(QPainter& painter) const override;

signals:
    void sweepChanged();
    void colorChanged();
    void radiusChanged();

private:
    qreal sweep_ = 88;
    QColor color_ = Qt::white;
    qreal radius_ = 50;
};

}  // namespace glintward
