#include "tray/TrayGlyph.h"

#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <cmath>

#include "app/DesignSystem.h"

namespace glintward::TrayGlyph {

namespace {
// The whole number nearest to `exact` with the parity of `frame`, so that a centred circle of that diameter
// has its edges on pixel boundaries; ties go to the larger.
int snappedDiameter(double exact, int frame) {
    const int lower = static_cast<int>(std::floor(exact));
    const int candidate = (lower % 2 == frame % 2) ? lower : lower - 1;
    const int above = candidate + 2;
    return (exact - candidate < above - exact) ? std::max(candidate, 1) : above;
}
}  // namespace

QRgb color(bool scanning, ThreatLevel threatLevel, bool bluetoothOff) {
    if (!scanning || bluetoothOff) return Palette::stateIdle;
    switch (threatLevel) {
        case ThreatLevel::CLEAR:
            return Palette::stateClear;
        case ThreatLevel::POSSIBLE:
            return Palette::statePossible;
        case ThreatLevel::DETECTED:
            break;
    }
    return Palette::stateLikely;
}

QImage render(QRgb color, int pixels) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const double scale = pixels / 16.0;
    const int stroke = std::max(1, static_cast<int>(std::lround(scale)));
    const int ring = snappedDiameter(13 * scale, pixels);
    const int dot = snappedDiameter(5 * scale, pixels);
    const double centre = pixels / 2.0;

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor faint(color);
    faint.setAlphaF(0.45);
    QPen pen(faint, stroke, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    // The pen is centred on the path: inset by half its width so the outer edge lands on the ring's diameter.
    const double ringPath = (ring - stroke) / 2.0;
    painter.drawEllipse(QPointF(centre, centre), ringPath, ringPath);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(color));
    painter.drawEllipse(QPointF(centre, centre), dot / 2.0, dot / 2.0);
    return image;
}

QIcon icon(QRgb color) {
    QIcon icon;
    for (int pixels : {16, 22, 32, 44, 64}) icon.addPixmap(QPixmap::fromImage(render(color, pixels)));
    return icon;
}

}  // namespace glintward::TrayGlyph
