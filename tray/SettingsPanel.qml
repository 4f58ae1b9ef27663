import Glintward.Views
import Glintward.Panel
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as Controls
import QtQuick.Templates as T

// The settings page, shown inside the radar panel. Every control takes effect at once; "Done" only closes.
Flickable {
    id: page
    objectName: "settingsPage"

    required property SettingsPanelModel settings
    signal close()

    clip: true
    contentWidth: width
    contentHeight: content.implicitHeight + 32
    boundsBehavior: Flickable.StopAtBounds
    Controls.ScrollBar.vertical: PanelScrollBar {}

    // The catalogue is read afresh whenever the page is shown.
    Component.onCompleted: settings.refresh()

    ColumnLayout {
        id: content
        x: 16
        y: 16
        width: page.width - 32
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Text {
                Accessible.role: Accessible.Heading
                Accessible.name: text
                text: qsTr("SETTINGS")
                font: TypeScale.tracked(TypeScale.kicker, 1.62)
                color: Palette.textMuted
            }
            Item { Layout.fillWidth: true }
            PlainButton {
                objectName: "doneButton"
                text: qsTr("Done")
                font: TypeScale.body
                color: Palette.chartreuse
                onClicked: page.close()
            }
        }

        Kicker {
            objectName: "libraryKicker"
            Layout.fillWidth: true
            Layout.topMargin: 18
            text: "Detection library"
            trailing: page.settings.versionText
        }
        GroupedCard {
            objectName: "libraryCard"
            Layout.fillWidth: true
            Layout.topMargin: 9
            Repeater {
                model: page.settings.signatures
                ColumnLayout {
                    required property int index
                    required property string signatureId
                    required property string title
                    required property string subtitle
                    required property bool switchOn
                    Layout.fillWidth: true
                    spacing: 0
                    RowDivider {
                        objectName: "libraryDivider"
                        visible: index > 0
                    }
                    SettingsRow {
                        objectName: "signatureRow"
                        title: parent.title
                        subtitle: parent.subtitle
                        subtitleIsReading: true
                        isOn: parent.switchOn
                        onToggled: (value) => page.settings.setSignatureEnabled(parent.signatureId, value)
                    }
                }
            }
            RowDivider {
                objectName: "libraryDivider"
                visible: page.settings.signatureCount > 0
            }
            SettingsRow {
                objectName: "unknownIdsRow"
                title: "Unknown camera-capable IDs"
                subtitle: "Raises 'possible' only, never 'likely'"
                isOn: page.settings.matchUnknownIds
                onToggled: (value) => page.settings.matchUnknownIds = value
            }
        }

        Kicker {
            objectName: "behaviorKicker"
            Layout.fillWidth: true
            Layout.topMargin: 18
            text: "Behavior"
        }
        GroupedCard {
            Layout.fillWidth: true
            Layout.topMargin: 9
            // The whole row, padding included, takes the tap, Space and Enter; it looks like no button.
            T.AbstractButton {
                id: thresholdRow
                objectName: "thresholdRow"
                Layout.fillWidth: true
                implicitHeight: implicitContentHeight + topPadding + bottomPadding
                padding: 14
                focusPolicy: Qt.StrongFocus
                onClicked: page.settings.cycleThreshold()
                Keys.onReturnPressed: (event) => { if (!event.isAutoRepeat) thresholdRow.clicked() }
                Keys.onEnterPressed: (event) => { if (!event.isAutoRepeat) thresholdRow.clicked() }
                Accessible.role: Accessible.Button
                Accessible.name: qsTr("Alert threshold") + ": " + page.settings.thresholdReading
                Accessible.description: page.settings.thresholdSubtitle
                Accessible.onPressAction: thresholdRow.clicked()
                HoverHandler {
                    cursorShape: Qt.PointingHandCursor
                }
                FocusRing {
                    visible: thresholdRow.visualFocus
                    outset: -3
                    controlRadius: 12
                }
                contentItem: RowLayout {
                    spacing: 12
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 2
                        Text {
                            Layout.fillWidth: true
                            text: qsTr("Alert threshold")
                            font: TypeScale.rowTitle
                            color: Palette.textPrimary
                        }
                        Text {
                            objectName: "thresholdSubtitle"
                            Layout.fillWidth: true
                            text: page.settings.thresholdSubtitle
                            font: TypeScale.rowSubtitle
                            color: Palette.textMuted
                            wrapMode: Text.Wrap
                        }
                    }
                    Text {
                        objectName: "thresholdReading"
                        text: page.settings.thresholdReading
                        font: TypeScale.reading
                        color: Palette.chartreuse
                    }
                }
            }
            RowDivider {}
            SettingsRow {
                objectName: "hapticRow"
                title: "Haptic alerts"
                // The tap goes to the first force-feedback input device (evdev EV_FF): a game controller or a
                // haptic touchpad.
                subtitle: "Force-feedback devices only; silent on other hardware"
                isOn: page.settings.hapticAlerts
                onToggled: (value) => page.settings.hapticAlerts = value
            }
        }

        GroupedCard {
            Layout.fillWidth: true
            Layout.topMargin: 18
            PlainButton {
                objectName: "wipeButton"
                Layout.fillWidth: true
                padding: 14
                text: qsTr("Wipe session log")
                font: TypeScale.rowTitle
                color: Palette.stateLikely
                horizontalAlignment: Text.AlignLeft
                focusRingOutset: -3
                focusRingRadius: 12
                onClicked: page.settings.wipeSessionLog()
            }
        }
    }
}
