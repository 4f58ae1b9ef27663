#pragma once
// A blip's ping ring at its largest: a circle stroked `lineWidth` wide inside the item. The blip scales it
// down and fades it, which leaves the picture as it is, so a ping costs one scaled copy a frame.

#include <QtQml/qqmlregistration.h>
#include <QColor>

#include "app/Views/PictureItem.h"

namespace glintward {

class PingRing : public PictureItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(qreal lineWidth READ lineWidth WRITE setLineWidth NOTIFY lineWidthChanged)

public:
    explicit PingRing(QQuickItem* parent = nullptr) : PictureItem(parent) {}

    QColor color() const { return color_; }
    void setColor(const QColor& color);
    qreal lineWidth() const { return lineWidth_; }
    void setLineWidth(qreal width);

protected:
    void paint(QPainter& painter) const override;

signals:
    void colorChanged();
    void lineWidthChanged();

private:
    QColor color_ = Qt::white;
    qreal lineWidth_ = 1;
};

}  // namespace glintward
