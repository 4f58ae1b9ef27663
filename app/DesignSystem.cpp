#include "app/DesignSystem.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>

namespace glintward {

namespace {
// Qt sizes fonts given in points by the screen's logical resolution; the panel's measures are in
// device-independent pixels, so convert through the same resolution Qt uses.
double pointsPerPixel() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInchY() : 96.0;
    return 72.0 / (dpi > 0 ? dpi : 96.0);
}
}  // namespace

QFont toFont(const FontToken& token, double tracking) {
    QFont font(QString::fromLatin1(token.family));
    font.setPointSizeF(token.sizePt * pointsPerPixel());
    font.setWeight(static_cast<QFont::Weight>(token.weight));
    font.setStyleHint(QFont::SansSerif);
    if (tracking != 0) font.setLetterSpacing(QFont::AbsoluteSpacing, tracking);
    return font;
}

int registerBundledFonts() {
    static const int registered = [] {
        int count = 0;
        for (const char* file : {":/fonts/FamiljenGrotesk-Regular.ttf",
                                 ":/fonts/FamiljenGrotesk-SemiBold.ttf", ":/fonts/MartianMono-Medium.ttf"}) {
            if (QFontDatabase::addApplicationFont(QString::fromLatin1(file)) >= 0) ++count;
        }
        return count;
    }();
    return registered;
}

}  // namespace glintward
