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
        const step = 40;
        let y;
        switch (event.key) {
        case Qt.Key_Up: y = page.contentY - step; break;
        case Qt.Key_Down: y = page.contentY + step; break;
        // A page less a step, so that a line of the last view stays in sight.
        case Qt.Key_PageUp: y = page.contentY - (page.height - step); break;
        case Qt.Key_PageDown: y = page.contentY + (page.height - step); break;
        case Qt.Key_Home: y = -Infinity; break;
        case Qt.Key_End: y = Infinity; break;
        default: event.accepted = false; return;
        }
        panel.keyAim = y;
        panel.keyLanding = NaN;
        panel.followKeyAim();
        event.accepted = true;
    }
    // Where the last key sent the page, kept while the page stays where the key left it. A list learns its
    // length as it makes the rows that come into sight, and those rows settle their heights in a later layout
    // pass: a key that met the end the list guessed goes on to the end it learns, in the key's handler or
    // when the extent changes afterwards.
    property real keyAim: NaN
    property real keyLanding: NaN
    property bool following: false
    function followKeyAim() {
        const page = panel.page();
        const aim = panel.keyAim;
        // Moving the page may change its extent at once: the loop below sees to that.
        if (!page || isNaN(aim) || panel.following) return;
        if (!isNaN(panel.keyLanding) && (Math.abs(page.contentY - panel.keyLanding) >= 0.5 || page.moving)) {
            // Moved since by something else: a flick, the scroll bar, a control revealed.
            panel.keyAim = NaN;
            return;
        }
        panel.following = true;
        // A list's header may stand above zero: the page runs from its origin.
        for (let i = 0; i < 4; ++i) {
            const top = page.originY;
            const end = top + Math.max(0, page.contentHeight - page.height);
            const to = Math.min(end, Math.max(top, aim));
            if (to === page.contentY) break;
            page.contentY = to;
        }
        panel.following = false;
        panel.keyLanding = page.contentY;
        // Reached: nothing more to follow.
        if (page.contentY === aim) panel.keyAim = NaN;
    }
    Connections {
        target: panel.showSettings ? settingsLoader.item : radarLoader.item
        function onContentHeightChanged() { panel.followKeyAim(); }
        function onOriginYChanged() { panel.followKeyAim(); }
    }
    // A new page starts with the focus on the panel, so that Tab goes to its first control.
    onShowSettingsChanged: {
        panel.keyAim = NaN;
        panel.forceActiveFocus();
    }

    // What the app exists to say reaches a screen reader when it changes, not only when the user happens to
    // read the title again, and whichever page is shown.
    LiveRegion {
        objectName: "statusAnnouncement"
        text: panel.radar.statusLabel
    }

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
        const top = page.originY;
        const bottom = top + Math.max(0, page.contentHeight - page.height);
        let y = page.contentY;
        if (at.y - margin < y) {
            y = at.y - margin;
        } else if (at.y + at.height + margin > y + page.height) {
            y = at.y + at.height + margin - page.height;
        }
        // Close to either end of the page, the rest of the margin comes along.
        if (y < top + 2 * margin) y = top;
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
        // One list for the whole page: the top of the page is its header, then come the "Nearby" cards and
        // the session log as rows of one model. Only the rows in sight, and a page's height of them either
        // way, are made, so a long list costs what is shown.
        sourceComponent: ListView {
            id: scroller
            objectName: "radarScroller"
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            Controls.ScrollBar.vertical: PanelScrollBar {}
            cacheBuffer: height
            // No row is ever current: the page scrolls with its own keys, and a current row would keep its
            // delegate made and its highlight chasing it down the list as rows arrive above it, a 60 Hz
            // animation that runs even while the panel is hidden.
            currentIndex: -1
            highlightFollowsCurrentItem: false
            keyNavigationEnabled: false
            model: PageListModel {
                detections: panel.radar.detections
                sessionLog: panel.radar.sessionLog
            }
            delegate: pageRow
            ReadingOrder {
                target: scroller.contentItem
                active: Accessibility.active
            }
            footer: Item { width: 1; height: 16 }
            // The header's height settles after its first layout and changes with the status texts; a page
            // shown from its top stays at its top instead of losing the header's first lines.
            property real topY: NaN
            onOriginYChanged: {
                if (isNaN(topY) || Math.abs(contentY - topY) < 0.5) contentY = originY;
                topY = originY;
            }

            header: ColumnLayout {
                x: 16
                width: scroller.width - 32
                spacing: 0

                Item {
                    objectName: "header"
                    Layout.fillWidth: true
                    Layout.topMargin: 16
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

                ReadText {
                    objectName: "statusTitle"
                    Layout.fillWidth: true
                    Layout.topMargin: 14
                    text: panel.radar.statusLabel
                    font: TypeScale.tracked(TypeScale.stateTitle, -0.24)
                    color: panel.radar.titleColor
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.Wrap
                }
                ReadText {
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
            }
        }
    }

    // A row of the page's list below its top: a heading, a detection's card, or a row of the session log's card.
    Component {
        id: pageRow
        Loader {
            id: row
            required property int kind
            required property var model
            x: 16
            width: ListView.view.width - 32
            height: item ? item.implicitHeight : 0
            sourceComponent: [nearbyKicker, detectionCard, sessionLogKicker, sessionLogRow, sessionLogEmpty][kind]

            Component {
                id: nearbyKicker
                Item {
                    implicitHeight: 18 + kicker.implicitHeight
                    Kicker {
                        id: kicker
                        objectName: "nearbyKicker"
                        y: 18
                        width: parent.width
                        text: "Nearby"
                        trailing: String(panel.radar.detectionCount)
                    }
                }
            }
            Component {
                id: detectionCard
                Item {
                    implicitHeight: 9 + card.implicitHeight
                    DetectionCard {
                        id: card
                        objectName: "detectionCard"
                        y: 9
                        width: parent.width
                        displayName: row.model.displayName
                        brand: row.model.brand
                        smoothedRssi: row.model.smoothedRssi
                        estimatedDistanceMeters: row.model.estimatedDistanceMeters
                        proximity: row.model.proximity
                        isMuted: row.model.isMuted
                        statusColor: panel.radar.statusColor
                        animated: panel.animated
                        onToggleMute: panel.radar.toggleMute(row.model.address)
                    }
                }
            }
            Component {
                id: sessionLogKicker
                Item {
                    implicitHeight: 18 + kicker.implicitHeight
                    Kicker {
                        id: kicker
                        objectName: "sessionLogKicker"
                        y: 18
                        width: parent.width
                        text: "Session log"
                        trailing: String(panel.radar.sessionLogCount)
                    }
                }
            }
            // The log's entries share one raised card: each row draws its slice of it, the card running on
            // past the row's ends but at the first and the last entry.
            Component {
                id: sessionLogRow
                Item {
                    readonly property real gap: row.model.first ? 9 : 0
                    implicitHeight: gap + entry.implicitHeight
                    Item {
                        y: parent.gap
                        width: parent.width
                        height: entry.implicitHeight
                        clip: true
                        Rectangle {
                            id: surface
                            y: row.model.first ? 0 : -12
                            width: parent.width
                            height: parent.height - y + (row.model.last ? 0 : 12)
                            radius: 12
                            color: Palette.bgRaised
                        }
                        ColumnLayout {
                            id: entry
                            width: parent.width
                            spacing: 0
                            RowDivider {
                                objectName: "sessionLogDivider"
                                visible: !row.model.first
                            }
                            SessionLogRow {
                                objectName: "sessionLogRow"
                                displayName: row.model.displayName
                                firstSeenMs: row.model.firstSeenMs
                                lastSeenMs: row.model.lastSeenMs
                                strongestRssi: row.model.strongestRssi
                            }
                        }
                        Rectangle {
                            y: surface.y
                            width: surface.width
                            height: surface.height
                            radius: 12
                            color: "transparent"
                            border.color: Palette.border
                            border.width: 1
                        }
                    }
                }
            }
            Component {
                id: sessionLogEmpty
                Item {
                    implicitHeight: 9 + card.implicitHeight
                    GroupedCard {
                        id: card
                        y: 9
                        width: parent.width
                        ColumnLayout {
                            objectName: "sessionLogEmpty"
                            Layout.fillWidth: true
                            Layout.margins: 14
                            spacing: 4
                            ReadText {
                                Layout.fillWidth: true
                                text: qsTr("Session log is empty")
                                font: TypeScale.rowTitle
                                color: Palette.textPrimary
                                wrapMode: Text.Wrap
                            }
                            ReadText {
                                Layout.fillWidth: true
                                text: qsTr("Nothing heard yet this session. Devices appear here the moment a matching signal arrives.")
                                font: TypeScale.rowSubtitle
                                color: Palette.textMuted
                                wrapMode: Text.Wrap
                            }
                        }
                    }
                }
            }
        }
    }
}
