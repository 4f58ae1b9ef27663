#pragma once
// The design system's colours and fonts and the view logic, offered to QML as singletons. The values
// themselves live in app/DesignSystem.h and app/Views/ViewLogic.h; these classes only hand them over.

#include <QtQml/qqmlregistration.h>
#include <QColor>
#include <QFont>
#include <QObject>
#include <QString>

#include "app/DesignSystem.h"

namespace glintward {

// QtQuick has a Palette type of its own; QML files import Glintward.Views before QtQuick so that this one
// is the Palette they see.
class PaletteTokens : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(Palette)
    QML_SINGLETON
    Q_PROPERTY(QColor bgCard READ bgCard CONSTANT)
    Q_PROPERTY(QColor bgRaised READ bgRaised CONSTANT)
    Q_PROPERTY(QColor border READ border CONSTANT)
    Q_PROPERTY(QColor borderSubtle READ borderSubtle CONSTANT)
    Q_PROPERTY(QColor textPrimary READ textPrimary CONSTANT)
    Q_PROPERTY(QColor textMuted READ textMuted CONSTANT)
    Q_PROPERTY(QColor chartreuse READ chartreuse CONSTANT)
    Q_PROPERTY(QColor stateClear READ stateClear CONSTANT)
    Q_PROPERTY(QColor statePossible READ statePossible CONSTANT)
    Q_PROPERTY(QColor stateLikely READ stateLikely CONSTANT)
    Q_PROPERTY(QColor stateIdle READ stateIdle CONSTANT)
public:
    using QObject::QObject;
    QColor bgCard() const { return QColor(Palette::bgCard); }
    QColor bgRaised() const { return QColor(Palette::bgRaised); }
    QColor border() const { return QColor(Palette::border); }
    QColor borderSubtle() const { return QColor(Palette::borderSubtle); }
    QColor textPrimary() const { return QColor(Palette::textPrimary); }
    QColor textMuted() const { return QColor(Palette::textMuted); }
    QColor chartreuse() const { return QColor(Palette::chartreuse); }
    QColor stateClear() const { return QColor(Palette::stateClear); }
    QColor statePossible() const { return QColor(Palette::statePossible); }
    QColor stateLikely() const { return QColor(Palette::stateLikely); }
    QColor stateIdle() const { return QColor(Palette::stateIdle); }
};

class TypeScaleTokens : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(TypeScale)
    QML_SINGLETON
    Q_PROPERTY(QFont stateTitle READ stateTitle CONSTANT)
    Q_PROPERTY(QFont rowTitle READ rowTitle CONSTANT)
    Q_PROPERTY(QFont body READ body CONSTANT)
    Q_PROPERTY(QFont bodySmall READ bodySmall CONSTANT)
    Q_PROPERTY(QFont rowSubtitle READ rowSubtitle CONSTANT)
    Q_PROPERTY(QFont buttonLabel READ buttonLabel CONSTANT)
    Q_PROPERTY(QFont kicker READ kicker CONSTANT)
    Q_PROPERTY(QFont reading READ reading CONSTANT)
    Q_PROPERTY(QFont wordmark READ wordmark CONSTANT)
public:
    using QObject::QObject;
    QFont stateTitle() const { return toFont(TypeScale::stateTitle); }
    QFont rowTitle() const { return toFont(TypeScale::rowTitle); }
    QFont body() const { return toFont(TypeScale::body); }
    QFont bodySmall() const { return toFont(TypeScale::bodySmall); }
    QFont rowSubtitle() const { return toFont(TypeScale::rowSubtitle); }
    QFont buttonLabel() const { return toFont(TypeScale::buttonLabel); }
    QFont kicker() const { return toFont(TypeScale::kicker); }
    QFont reading() const { return toFont(TypeScale::reading); }
    QFont wordmark() const { return toFont(TypeScale::wordmark); }

    // The font with letter tracking (device-independent pixels after each character).
    Q_INVOKABLE QFont tracked(QFont font, qreal tracking) const {
        font.setLetterSpacing(QFont::AbsoluteSpacing, tracking);
        return font;
    }
};

// The derived values the views need from their own inputs.
class ViewLogicFunctions : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(ViewLogic)
    QML_SINGLETON
public:
    using QObject::QObject;
    Q_INVOKABLE int filledSegments(qreal smoothedRssi, int segments) const;
    Q_INVOKABLE QString proximityLabel(int proximity, qreal estimatedDistanceMeters) const;
    Q_INVOKABLE QString signalReading(qreal smoothedRssi) const;
    Q_INVOKABLE QString drawnSessionLogLine(qreal firstSeenMs, qreal lastSeenMs, int strongestRssi) const;
    // The dial's two timing curves at progress t (0 to 1), for motion stepped by a clock of its own: ease in
    // and out (0.42, 0, 0.58, 1) and ease out (0, 0, 0.58, 1).
    Q_INVOKABLE qreal easeInOut(qreal t) const;
    Q_INVOKABLE qreal easeOut(qreal t) const;
};

}  // namespace glintward
