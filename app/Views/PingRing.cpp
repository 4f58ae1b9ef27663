#include "app/Views/PingRing.h"

#include <QPainter>
#include <QPen>

namespace glintward {

void PingRing::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    repaint();
    emit colorChanged();
}

void PingRing::setLineWidth(qreal width) {
    if (qFuzzyCompare(width, lineWidth_)) return;
    lineWidth_ = width;
    repaint();
    emit lineWidthChanged();
}

void PingRing::paint(QPainter& painter) const {
    if (lineWidth_ <= 0) return;
    painter.setPen(QPen(color_, lineWidth_));
    painter.setBrush(Qt::NoBrush);
    const qreal inset = lineWidth_ / 2;
    painter.drawEllipse(boundingRect().adjusted(inset, inset, -inset, -inset));
}

}  // namespace glintward
