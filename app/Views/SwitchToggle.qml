import Glintward.Views
import QtQuick
import QtQuick.Templates as T

// A switch without text of its own. It shows isOn and asks for the negation through switched(); the owner
// writes the value behind it, which is what makes the binding two-way. A tap, Space, Enter or an assistive
// technology's press asks; the owner names the switch (Accessible.name), which reads as a button that is on
// or off.
T.AbstractButton {
    id: root

    property bool isOn: false
    signal switched(bool value)

    implicitWidth: 34
    implicitHeight: 20
    padding: 0
    focusPolicy: Qt.StrongFocus
    // What assistive technologies read as the state; a click turns it, and it is bound to isOn again at once.
    checkable: true
    checked: isOn
    onToggled: {
        const value = root.checked;
        root.checked = Qt.binding(() => root.isOn);
        root.switched(value);
    }
    function flip() {
        root.toggle();
        root.toggled();
    }
    Keys.onReturnPressed: (event) => { if (!event.isAutoRepeat) root.flip() }
    Keys.onEnterPressed: (event) => { if (!event.isAutoRepeat) root.flip() }
    Accessible.onPressAction: root.flip()
    Accessible.onToggleAction: root.flip()

    HoverHandler {
        cursorShape: Qt.PointingHandCursor
    }

    background: Rectangle {
        objectName: "track"
        radius: height / 2
        color: root.isOn ? Palette.chartreuse : Palette.border
        Behavior on color { ColorAnimation { duration: 160; easing.type: Easing.Bezier; easing.bezierCurve: [0, 0, 0.58, 1, 1, 1] } }
    }
    contentItem: Item {
        Rectangle {
            objectName: "knob"
            width: 16
            height: 16
            radius: 8
            y: 2
            x: root.isOn ? root.width - width - 2 : 2
            color: root.isOn ? Palette.bgCard : Palette.textMuted
            Behavior on x { NumberAnimation { duration: 160; easing.type: Easing.Bezier; easing.bezierCurve: [0, 0, 0.58, 1, 1, 1] } }
            Behavior on color { ColorAnimation { duration: 160; easing.type: Easing.Bezier; easing.bezierCurve: [0, 0, 0.58, 1, 1, 1] } }
        }
    }
    FocusRing {
        visible: root.visualFocus
        outset: 3
        controlRadius: root.height / 2
    }
}
