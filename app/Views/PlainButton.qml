import Glintward.Views
import QtQuick
import QtQuick.Templates as T

// A button that is only its text, dimmed while pressed.
T.AbstractButton {
    id: control

    property color color: Palette.chartreuse
    property int horizontalAlignment: Text.AlignHCenter

    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: implicitContentHeight + topPadding + bottomPadding
    padding: 0
    Accessible.role: Accessible.Button

    contentItem: Text {
        text: control.text
        font: control.font
        color: control.color
        opacity: control.pressed ? 0.6 : 1.0
        horizontalAlignment: control.horizontalAlignment
        verticalAlignment: Text.AlignVCenter
    }
}
