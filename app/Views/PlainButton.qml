import Glintward.Views
import QtQuick
import QtQuick.Templates as T

// A button that is only its text, dimmed while pressed. Space and Enter press it too.
T.AbstractButton {
    id: control

    property color color: Palette.chartreuse
    property int horizontalAlignment: Text.AlignHCenter
    // Where the focus ring goes: around the text, or (negative) just inside a button that fills its card.
    property alias focusRingOutset: ring.outset
    property alias focusRingRadius: ring.controlRadius

    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: implicitContentHeight + topPadding + bottomPadding
    padding: 0
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: text
    // A screen reader's press, which the template leaves undone here.
    Accessible.onPressAction: control.clicked()
    Keys.onReturnPressed: (event) => { if (!event.isAutoRepeat) control.clicked() }
    Keys.onEnterPressed: (event) => { if (!event.isAutoRepeat) control.clicked() }

    FocusRing {
        id: ring
        visible: control.visualFocus
        outset: 5
        controlRadius: 2
    }

    // Bare text is too small a target: presses count over the text plus 8 px on each side, and over at least
    // 24 px of height centred on it, while the layout still gives the button only the room its text takes.
    containmentMask: Item {
        x: Math.min(0, control.leftPadding - 8)
        y: Math.min(0, (control.height - 24) / 2)
        width: Math.max(control.width, control.width - control.rightPadding + 8) - x
        height: Math.max(control.height, 24)
    }
    HoverHandler {
        cursorShape: Qt.PointingHandCursor
    }

    contentItem: Text {
        text: control.text
        font: control.font
        color: control.color
        opacity: control.pressed ? 0.6 : 1.0
        horizontalAlignment: control.horizontalAlignment
        verticalAlignment: Text.AlignVCenter
    }
}
