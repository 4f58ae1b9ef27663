#pragma once
// The panel's visual vocabulary: eleven colours and nine fonts, defined once here so that the QML views and
// the tray glyph draw with the same values. The panel is always dark; nothing adapts to the system
// appearance.

#include <QColor>
#include <QFont>
#include <QRgb>

namespace glintward {

namespace Palette {
inline constexpr QRgb bgCard = qRgb(11, 12, 11);
inline constexpr QRgb bgRaised = qRgb(20, 22, 20);
inline constexpr QRgb border = qRgb(38, 42, 38);
inline constexpr QRgb borderSubtle = qRgb(29, 32, 29);
inline constexpr QRgb textPrimary = qRgb(234, 237, 234);
inline constexpr QRgb textMuted = qRgb(143, 151, 143);
inline constexpr QRgb chartreuse = qRgb(170, 215, 65);
inline constexpr QRgb stateClear = qRgb(74, 212, 150);
inline constexpr QRgb statePossible = qRgb(240, 177, 53);
inline constexpr QRgb stateLikely = qRgb(247, 93, 89);
// The same value as textMuted, kept apart because it means "not listening", not "secondary text".
inline constexpr QRgb stateIdle = qRgb(143, 151, 143);
}  // namespace Palette

// A font token: family, size in points (one point is one device-independent pixel, as on the panel's
// original platform) and weight.
struct FontToken {
    const char* family;
    double sizePt;
    int weight;
};

namespace TypeScale {
inline constexpr const char* GROTESK = "Familjen Grotesk";
inline constexpr const char* MONO = "Martian Mono";

inline constexpr FontToken stateTitle{GROTESK, 24, QFont::DemiBold};
inline constexpr FontToken rowTitle{GROTESK, 13, QFont::DemiBold};
inline constexpr FontToken body{GROTESK, 12, QFont::Normal};
inline constexpr FontToken bodySmall{GROTESK, 11.5, QFont::Normal};
inline constexpr FontToken rowSubtitle{GROTESK, 11.5, QFont::Normal};
inline constexpr FontToken buttonLabel{GROTESK, 14, QFont::DemiBold};
inline constexpr FontToken kicker{MONO, 9, QFont::Medium};
inline constexpr FontToken reading{MONO, 10.5, QFont::Medium};
inline constexpr FontToken wordmark{MONO, 11, QFont::Medium};
}  // namespace TypeScale

// The token as a QFont sized in device-independent pixels, with the letter tracking (in the same unit) added
// after every character. Needs a QGuiApplication.
QFont toFont(const FontToken& token, double tracking = 0);

// Registers the bundled font files from the resources, once; returns how many faces were registered. Needs
// a QGuiApplication. A face that fails to load leaves Qt's fallback in its place.
int registerBundledFonts();

}  // namespace glintward
