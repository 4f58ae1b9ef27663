#pragma once
// The tray glyph: a faint ring around a solid dot in the status colour, nothing else.

#include <QIcon>
#include <QImage>
#include <QRgb>

#include "shared/detection/Records.h"

namespace glintward::TrayGlyph {

// Idle when not scanning or with Bluetooth off, otherwise the colour of the threat level.
QRgb color(bool scanning, ThreatLevel threatLevel, bool bluetoothOff);

// The 16-point glyph drawn natively at `pixels` x `pixels`, with its ring and dot snapped to whole pixels.
QImage render(QRgb color, int pixels);

// The glyph at the sizes trays ask for: 16, 22 and 32 pixels and their doubles.
QIcon icon(QRgb color);

}  // namespace glintward::TrayGlyph
