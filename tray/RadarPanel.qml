import Glintward.Views
import Glintward.Panel
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic as Controls

// The whole tray panel: the radar page, or the settings page in its place.
Rectangle {
    id: panel
    objectName: "radarPanel"

    required property RadarPanelModel radar
    required property SettingsPanelModel settings
    // Cleared by the application while the panel is hidden, which stops every animation.
    property bool animated: true
    property bool showSettings: false

    width: 340
    height: 560
    color: Palette.bgCard
    Accessible.role: Accessible.Pane
    Accessible.name: "Glintward"

    // The keys no control takes come here: Escape, and those that scroll the page shown.
    focus: true
    Keys.onEscapePressed: {
        if (panel.showSettings) {
            panel.showSettings = false;
        } else {
            panel.radar.dismiss();
        }
    }
    Keys.onPressed: (event) => {
        const page = panel.page();
        if (!page) return;
        const bottom = Math.max(0, page.contentHeight - page.height);
        const step = 40;
        let y;
        switch (event.key) {
        case Qt.Key_Up: y = page.contentY - step; break;
        case Qt.Key_Down: y = page.contentY + step; break;
        // A page less a step, so that a line of the last view stays in sight.
        case Qt.Key_PageUp: y = page.contentY - (page.height - step); break;
        case Qt.Key_PageDown: y = page.contentY + (page.height - step); break;
        case Qt.Key_Home: y = 0; break;
        case Qt.Key_End: y = bottom; break;
        default: event.accepted = false; return;
        }
        page.contentY = Math.min(bottom, Math.max(0, y));
        event.accepted = true;
    }
    // A new page starts with the focus on the panel, so that Tab goes to its first control.
    onShowSettingsChanged: panel.forceActiveFocus()

    // The page shown: both are flickables.
    function page() {
        return panel.showSettings ? settingsLoader.item : radarLoader.item;
    }

    // A control that the keyboard moves to is scrolled into sight, with room for its ring; pointer focus
    // never scrolls.
    property Item focusedItem: Window.activeFocusItem
    onFocusedItemChanged: Qt.callLater(panel.reveal)
    function reveal() {
        const item = panel.focusedItem;
        const page = panel.page();
        if (!item || !page || !item.visualFocus) return;
        let inside = false;
        for (let p = item.parent; p; p = p.parent) {
            if (p === page.contentItem) {
                inside = true;
                break;
            }
        }
        if (!inside) return;
        const margin = 12;
        const at = item.mapToItem(page.contentItem, 0, 0, item.width, item.height);
        const bottom = Math.max(0, page.contentHeight - page.height);
        let y = page.contentY;
        if (at.y - margin < y) {
            y = at.y - margin;
        } else if (at.y + at.height + margin > y + page.height) {
            y = at.y + at.height + margin - page.height;
        }
        // Close to either end of the page, the rest of the margin comes along.
        if (y < 2 * margin) y = 0;
        if (y > bottom - 2 * margin) y = bottom;
        if (y !== page.contentY) page.contentY = y;
    }

    Loader {
        id: settingsLoader
        anchors.fill: parent
        active: panel.showSettings
        sourceComponent: SettingsPanel {
            settings: panel.settings
            onClose: panel.showSettings = false
        }
    }

    Loader {
        id: radarLoader
        anchors.fill: parent
        active: !panel.showSettings
        sourceComponent: Flickable {
            id: scroller
            objectName: "radarScroller"
            clip: true
            contentWidth: width
            contentHeight: content.implicitHeight + 32
            boundsBehavior: Flickable.StopAtBounds
            Controls.ScrollBar.vertical: PanelScrollBar {}

            ColumnLayout {
                id: content
                x: 16
                y: 16
                width: scroller.width - 32
                spacing: 0

                Item {
                    objectName: "header"
                    Layout.fillWidth: true
                    implicitHeight: Math.max(wordmark.implicitHeight, settingsButton.implicitHeight)
                    WordmarkView {
                        id: wordmark
                        anchors.centerIn: parent
                    }
                    PlainButton {
                        id: settingsButton
                        objectName: "settingsButton"
                        anchors.right: parent.right
                        anchors.verticalCenter: parent.verticalCenter
                        text: qsTr("SETTINGS")
                        font: TypeScale.tracked(TypeScale.kicker, 1.62)
                        color: Palette.textMuted
                        onClicked: panel.showSettings = true
                    }
                }

                RadarInstrument {
                    objectName: "dial"
                    Layout.alignment: Qt.AlignHCenter
                    Layout.topMargin: 14
                    diameter: 170
                    scanning: panel.radar.dialScanning
                    statusColor: panel.radar.statusColor
                    bearings: panel.radar.blips
                    animated: panel.animated
                }

                Text {
                    objectName: "statusTitle"
                    Layout.fillWidth: true
                    Layout.topMargin: 14
                    text: panel.radar.statusLabel
                    font: TypeScale.tracked(TypeScale.stateTitle, -0.24)
                    color: panel.radar.titleColor
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.Wrap
                }
                Text {
                    objectName: "explainer"
                    Layout.fillWidth: true
                    Layout.topMargin: 6
                    text: panel.radar.explainer
                    font: TypeScale.body
                    color: Palette.textMuted
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.Wrap
                }

                ColumnLayout {
                    objectName: "controls"
                    Layout.fillWidth: true
                    Layout.topMargin: 14
                    spacing: 9
                    PrimaryButtonStyle {
                        objectName: "bluetoothSettingsButton"
                        visible: panel.radar.bluetoothOff
                        text: qsTr("Open Bluetooth settings")
                        onClicked: panel.radar.openSystemSettings()
                    }
                    PrimaryButtonStyle {
                        objectName: "scanButton"
                        visible: !panel.radar.bluetoothOff
                        text: panel.radar.scanning ? qsTr("Stop scanning") : qsTr("Start scanning")
                        // The model decides from its state at the tap, not from the label drawn last.
                        onClicked: panel.radar.toggleScanning()
                    }
                    SecondaryButtonStyle {
                        objectName: "quitButton"
                        text: qsTr("Quit Glintward")
                        onClicked: panel.radar.quit()
                    }
                }

                Kicker {
                    objectName: "nearbyKicker"
                    visible: panel.radar.detectionCount > 0
                    Layout.fillWidth: true
                    Layout.topMargin: 18
                    text: "Nearby"
                    trailing: String(panel.radar.detectionCount)
                }
                ColumnLayout {
                    objectName: "cards"
                    visible: panel.radar.detectionCount > 0
                    Layout.fillWidth: true
                    Layout.topMargin: 9
                    spacing: 9
                    Repeater {
                        model: panel.radar.detections
                        DetectionCard {
                            required property string address
                            objectName: "detectionCard"
                            Layout.fillWidth: true
                            statusColor: panel.radar.statusColor
                            animated: panel.animated
                            onToggleMute: panel.radar.toggleMute(address)
                        }
                    }
                }

                Kicker {
                    objectName: "sessionLogKicker"
                    Layout.fillWidth: true
                    Layout.topMargin: 18
                    text: "Session log"
                    trailing: String(panel.radar.sessionLogCount)
                }
                GroupedCard {
                    objectName: "sessionLogCard"
                    Layout.fillWidth: true
                    Layout.topMargin: 9

                    ColumnLayout {
                        objectName: "sessionLogEmpty"
                        visible: panel.radar.sessionLogCount === 0
                        Layout.fillWidth: true
                        Layout.margins: 14
                        spacing: 4
                        Text {
                            Layout.fillWidth: true
                            text: qsTr("Session log is empty")
                            font: TypeScale.rowTitle
                            color: Palette.textPrimary
                            wrapMode: Text.Wrap
                        }
                        Text {
                            Layout.fillWidth: true
                            text: qsTr("Nothing heard yet this session. Devices appear here the moment a matching signal arrives.")
                            font: TypeScale.rowSubtitle
                            color: Palette.textMuted
                            wrapMode: Text.Wrap
                        }
                    }
                    Repeater {
                        model: panel.radar.sessionLog
                        ColumnLayout {
                            required property int index
                            required property string displayName
                            required property real firstSeenMs
                            required property real lastSeenMs
                            required property int strongestRssi
                            Layout.fillWidth: true
                            spacing: 0
                            RowDivider {
                                objectName: "sessionLogDivider"
                                visible: index > 0
                            }
                            SessionLogRow {
                                objectName: "sessionLogRow"
                                displayName: parent.displayName
                                firstSeenMs: parent.firstSeenMs
                                lastSeenMs: parent.lastSeenMs
                                strongestRssi: parent.strongestRssi
                            }
                        }
                    }
                }
            }
        }
    }
}
