import Glintward.Views
import Glintward.Panel
import QtQuick
import QtQuick.Layouts

// A settings row: title above subtitle, and a switch at the trailing edge.
Item {
    id: row

    required property string title
    required property string subtitle
    property bool subtitleIsReading: false
    property bool isOn: false
    signal toggled(bool value)

    Layout.fillWidth: true
    implicitWidth: line.implicitWidth + 28
    implicitHeight: line.implicitHeight + 28

    RowLayout {
        id: line
        anchors.fill: parent
        anchors.margins: 14
        spacing: 12
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            Text {
                objectName: "rowTitle"
                Layout.fillWidth: true
                text: row.title
                font: TypeScale.rowTitle
                color: Palette.textPrimary
                wrapMode: Text.Wrap
            }
            Text {
                objectName: "rowSubtitle"
                Layout.fillWidth: true
                text: row.subtitle
                font: row.subtitleIsReading ? TypeScale.reading : TypeScale.rowSubtitle
                color: Palette.textMuted
                wrapMode: Text.Wrap
            }
        }
        SwitchToggle {
            objectName: "toggle"
            isOn: row.isOn
            onSwitched: (value) => row.toggled(value)
            Accessible.name: row.title
            Accessible.description: row.subtitle
        }
    }
}
