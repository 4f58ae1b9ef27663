import Glintward.Views
import QtQuick

// One device marker: a dot with a ring that keeps growing and fading. Its frame sits on the dial's centre; the
// offset puts it `radius` away at angle `bearing`. A translation rather than a rotation, since the marker is round:
// unrotated, its circles are copied from cached pictures instead of being filled as paths every frame.
Item {
    id: blip

    property real bearing: 0
    property color color: "white"
    property real radius: 0
    property bool animated: true
    // Moved by the dial's clock (milliseconds) rather than by an animation of its own; see RadarInstrument.
    property bool stepped: false
    property real clock: 0
    // Each blip's ping starts when the blip is first shown.
    property real pingStart: 0
    Component.onCompleted: pingStart = clock

    width: 16
    height: 16
    transform: Translate {
        x: blip.radius * Math.cos(blip.bearing * Math.PI / 180)
        y: blip.radius * Math.sin(blip.bearing * Math.PI / 180)
    }

    // The ring grows by size and line width together: its largest picture, scaled.
    PingRing {
        id: ring
        objectName: "pingRing"
        property real grow: 0.4
        anchors.centerIn: parent
        width: 16 * 2.6
        height: width
        lineWidth: 1.4 * 2.6
        color: blip.color
        scale: grow / 2.6
        opacity: 0.7
    }
    Rectangle {
        objectName: "blipDot"
        anchors.centerIn: parent
        width: 8
        height: 8
        radius: 4
        color: blip.color
    }

    // How far the current ping has come, eased: 0 small and visible, 1 grown and gone.
    readonly property real ping: stepped ? ViewLogic.easeOut((clock - pingStart) % 1800 / 1800) : 0
    Binding {
        when: blip.stepped
        target: ring
        property: "grow"
        value: 0.4 + 2.2 * blip.ping
        restoreMode: Binding.RestoreNone
    }
    Binding {
        when: blip.stepped
        target: ring
        property: "opacity"
        value: 0.7 - 0.7 * blip.ping
        restoreMode: Binding.RestoreNone
    }
    ParallelAnimation {
        running: blip.animated && !blip.stepped
        loops: Animation.Infinite
        NumberAnimation { target: ring; property: "grow"; from: 0.4; to: 2.6; duration: 1800; easing.type: Easing.Bezier; easing.bezierCurve: [0, 0, 0.58, 1, 1, 1] }
        NumberAnimation { target: ring; property: "opacity"; from: 0.7; to: 0; duration: 1800; easing.type: Easing.Bezier; easing.bezierCurve: [0, 0, 0.58, 1, 1, 1] }
    }
}
