import Glintward.Views
import QtQuick

// A switch without text of its own. It shows isOn and asks for the negation through toggled(); the owner
// writes the value behind it, which is what makes the binding two-way.
Item {
    id: root

    property bool isOn: false
    signal toggled(bool value)

    implicitWidth: 34
    implicitHeight: 20

    Accessible.role: Accessible.Button
    Accessible.checkable: true
    Accessible.checked: isOn

    Rectangle {
        objectName: "track"
        anchors.fill: parent
        radius: height / 2
        color: root.isOn ? Palette.chartreuse : Palette.border
        Behavior on color { ColorAnimation { duration: 160; easing.type: Easing.Bezier; easing.bezierCurve: [0, 0, 0.58, 1, 1, 1] } }
    }
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
    MouseArea {
        anchors.fill: parent
        cursorShape: Qt.PointingHandCursor
        onClicked: root.toggled(!root.isOn)
    }
}
