import Glintward.Views
import QtQuick
import QtQuick.Layouts
import QtQuick.Templates as T

// The large filled button: it takes the width it is given and shrinks a little while pressed. Space and Enter
// press it too.
T.Button {
    id: control

    property color labelColor: Palette.bgCard
    property color fillColor: Palette.chartreuse
    property color strokeColor: "transparent"

    Layout.fillWidth: true
    implicitWidth: Math.max(implicitBackgroundWidth, implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: implicitContentHeight + topPadding + bottomPadding
    topPadding: 12
    bottomPadding: 12
    leftPadding: 0
    rightPadding: 0
    font: TypeScale.buttonLabel
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: text
    // A screen reader's press, which the template leaves undone here.
    Accessible.onPressAction: control.clicked()
    Keys.onReturnPressed: (event) => { if (!event.isAutoRepeat) control.clicked() }
    Keys.onEnterPressed: (event) => { if (!event.isAutoRepeat) control.clicked() }

    FocusRing {
        visible: control.visualFocus
        controlRadius: 12
    }

    HoverHandler {
        cursorShape: Qt.PointingHandCursor
    }

    scale: pressed ? 0.95 : 1.0
    Behavior on scale { NumberAnimation { duration: 120; easing.type: Easing.Bezier; easing.bezierCurve: [0, 0, 0.58, 1, 1, 1] } }

    contentItem: Text {
        text: control.text
        font: control.font
        color: control.labelColor
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        radius: 12
        color: control.fillColor
        border.color: control.strokeColor
        border.width: control.strokeColor.a > 0 ? 1 : 0
    }
}
