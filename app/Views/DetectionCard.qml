import Glintward.Views
import QtQuick
import QtQuick.Layouts

// One device near now. The roles of a detection arrive as required properties; the owner says whether it
// counts as muted and what to do when its button is pressed.
CardSurface {
    id: card

    required property string displayName
    required property string brand
    required property real smoothedRssi
    required property real estimatedDistanceMeters
    required property int proximity
    required property bool isMuted
    property color statusColor: Palette.stateIdle
    property bool animated: true
    signal toggleMute()

    fill: Palette.bgRaised
    stroke: Palette.border
    radius: 12
    opacity: isMuted ? 0.6 : 1.0

    ColumnLayout {
        Layout.fillWidth: true
        Layout.margins: 14
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            spacing: 9
            StateDot {
                objectName: "dot"
                size: 7
                color: card.isMuted ? Palette.textMuted : card.statusColor
            }
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 1
                ReadText {
                    objectName: "displayName"
                    Layout.fillWidth: true
                    text: card.displayName
                    font: TypeScale.rowTitle
                    color: Palette.textPrimary
                    wrapMode: Text.Wrap
                }
                ReadText {
                    objectName: "brand"
                    Layout.fillWidth: true
                    text: card.brand
                    font: TypeScale.reading
                    color: Palette.textMuted
                    wrapMode: Text.Wrap
                }
            }
            PlainButton {
                objectName: "muteButton"
                text: card.isMuted ? qsTr("Unmute") : qsTr("Mute")
                font: TypeScale.bodySmall
                color: Palette.chartreuse
                onClicked: card.toggleMute()
                Accessible.description: card.displayName
            }
        }
        ReadText {
            objectName: "mutedNote"
            visible: card.isMuted
            Layout.fillWidth: true
            Layout.topMargin: 4
            text: qsTr("Muted \u2014 won't raise the alert level")
            font: TypeScale.rowSubtitle
            color: Palette.textMuted
            wrapMode: Text.Wrap
        }
        SignalMeter {
            objectName: "meter"
            Layout.fillWidth: true
            Layout.topMargin: 12
            smoothedRssi: card.smoothedRssi
            tint: card.isMuted ? Palette.textMuted : card.statusColor
            segments: 10
            animated: card.animated
        }
        RowLayout {
            Layout.fillWidth: true
            Layout.topMargin: 10
            spacing: 8
            ReadText {
                objectName: "proximity"
                text: ViewLogic.proximityLabel(card.proximity, card.estimatedDistanceMeters)
                font: TypeScale.bodySmall
                color: Palette.textMuted
            }
            Item { Layout.fillWidth: true }
            ReadText {
                objectName: "signalReading"
                text: ViewLogic.signalReading(card.smoothedRssi)
                font: TypeScale.reading
                color: Palette.textPrimary
            }
        }
    }
}
