import Glintward.Views
import QtQuick

PrimaryButtonStyle {
    labelColor: Palette.textPrimary
    fillColor: Palette.bgRaised
    strokeColor: Palette.border
}
