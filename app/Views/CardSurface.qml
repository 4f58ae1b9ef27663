import Glintward.Views
import QtQuick
import QtQuick.Layouts

// A rounded fill behind its content and the same outline over it, both the size of the content. The content
// is stacked vertically without spacing.
Item {
    id: root

    property color fill: Palette.bgRaised
    property color stroke: Palette.border
    property real radius: 12
    default property alias content: body.data

    implicitWidth: body.implicitWidth
    implicitHeight: body.implicitHeight

    Rectangle {
        anchors.fill: parent
        radius: root.radius
        color: root.fill
    }
    ColumnLayout {
        id: body
        anchors.fill: parent
        spacing: 0
    }
    Rectangle {
        anchors.fill: parent
        radius: root.radius
        color: "transparent"
        border.color: root.stroke
        border.width: 1
    }
}
