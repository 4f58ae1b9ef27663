import Glintward.Views
import QtQuick
import QtQuick.Layouts

// One device heard this run: its name, when it was first and last heard and its strongest signal.
Item {
    id: row

    required property string displayName
    required property real firstSeenMs
    required property real lastSeenMs
    required property int strongestRssi

    Layout.fillWidth: true
    implicitWidth: column.implicitWidth + 28
    implicitHeight: column.implicitHeight + 28

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 14
        spacing: 2
        ReadText {
            objectName: "logName"
            Layout.fillWidth: true
            text: row.displayName
            font: TypeScale.body
            color: Palette.textPrimary
            wrapMode: Text.Wrap
        }
        ReadText {
            objectName: "logLine"
            Layout.fillWidth: true
            text: ViewLogic.drawnSessionLogLine(row.firstSeenMs, row.lastSeenMs, row.strongestRssi)
            font: TypeScale.reading
            color: Palette.textMuted
            wrapMode: Text.Wrap
        }
    }
}
