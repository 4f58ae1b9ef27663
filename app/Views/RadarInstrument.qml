import Glintward.Views
import QtQuick

// The radar dial: three faint rings, a turning sweep while scanning, an inner ring, one blip per bearing and
// a breathing centre disc, all in the status colour. Animations run only while `animated` is set, so a hidden
// panel costs nothing between model updates.
Item {
    id: dial

    property bool scanning: false
    property color statusColor: Palette.stateIdle
    property var bearings: []
    property real diameter: 170
    property bool animated: true

    // Every part draws with this colour, which follows the status colour over 0.4 s.
    property color shownColor: statusColor
    Behavior on shownColor {
        enabled: dial.animated
        ColorAnimation { duration: 400; easing.type: Easing.Bezier; easing.bezierCurve: [0.42, 0, 0.58, 1, 1, 1] }
    }

    property real pulse: 0

    // On a graphics card the animations below move the dial every frame. The software backend paints each frame
    // with the processor, so there a clock of 30 ticks a second moves it instead: half the frames, and a sweep
    // that still turns evenly (under 3 degrees a tick).
    readonly property bool stepped: GraphicsInfo.api === GraphicsInfo.Software
    // Milliseconds of motion so far; it stands still while the dial is not animated.
    property real clock: 0
    Timer {
        property real origin: 0
        interval: 33
        repeat: true
        running: dial.animated && dial.stepped
        onRunningChanged: if (running) origin = Date.now() - dial.clock
        onTriggered: dial.clock = Date.now() - origin
    }
    // On a graphics card the clock moves every frame; only the blips read it there.
    FrameAnimation {
        running: dial.animated && !dial.stepped
        onTriggered: dial.clock += frameTime * 1000
    }

    function tinted(a) { return Qt.rgba(shownColor.r, shownColor.g, shownColor.b, a) }

    implicitWidth: diameter
    implicitHeight: diameter
    // Nothing is drawn outside the dial; clipped, a frame's repaint is the dial's rectangle and nothing around it
    // (a turned picture's bounds reach past its corners).
    clip: true

    // The rings do not move: drawn once into a layer, they cost one copy a frame while the sweep turns over them.
    // Only on the software backend, which fills every shape with the processor; on a graphics card a layer is
    // an extra pass that saves nothing.
    // At a fractional display scale the layer's picture is whole device pixels, rounded: a margin keeps the
    // outer ring's edge inside it. Mirrored, the software backend places the picture off by the scale factor.
    Item {
        anchors.fill: parent
        anchors.margins: -2
        layer.enabled: GraphicsInfo.api === GraphicsInfo.Software
        layer.textureMirroring: ShaderEffectSource.NoMirroring
        Repeater {
            model: [[1.0, 0.32], [0.72, 0.22], [0.4, 0.16]]
            Rectangle {
                required property var modelData
                objectName: "ring"
                anchors.centerIn: parent
                width: dial.diameter * modelData[0]
                height: width
                radius: width / 2
                color: "transparent"
                border.width: 1
                border.color: dial.tinted(modelData[1])
            }
        }
    }

    // The sweep, a slice of the dial turning about its apex at the dial's centre: a picture painted once that
    // only turns each frame.
    SweepWedge {
        id: wedge
        objectName: "sweepWedge"
        x: dial.width / 2
        y: dial.height / 2 - height
        radius: dial.diameter * 0.48
        sweep: 88
        color: dial.shownColor
        visible: dial.scanning
    }
    // Stopping resets the turn; starting again turns from 0.
    readonly property bool turning: scanning && animated
    property real turnStart: 0
    onTurningChanged: {
        turnStart = clock
        if (!turning) wedge.rotation = 0
    }
    NumberAnimation {
        target: wedge
        property: "rotation"
        from: 0
        to: 360
        duration: 4200
        loops: Animation.Infinite
        running: dial.turning && !dial.stepped
    }
    Binding {
        when: dial.turning && dial.stepped
        target: wedge
        property: "rotation"
        value: (dial.clock - dial.turnStart) % 4200 * 360 / 4200
        restoreMode: Binding.RestoreNone
    }

    Rectangle {
        objectName: "innerRing"
        anchors.centerIn: parent
        width: dial.diameter * 0.28
        height: width
        radius: width / 2
        color: "transparent"
        border.width: 1.2
        border.color: dial.tinted(0.32)
    }

    BlipField {
        objectName: "blips"
        anchors.fill: parent
        bearings: dial.bearings
        color: dial.shownColor
        radius: dial.diameter * 0.3
        clock: dial.clock
    }

    // Sized rather than scaled: the software renderer draws a scaled round rectangle unevenly.
    Rectangle {
        objectName: "centreDisc"
        readonly property real pulseScale: 0.94 + 0.12 * dial.pulse
        anchors.centerIn: parent
        width: dial.diameter * 0.18 * pulseScale
        height: width
        radius: width / 2
        color: dial.shownColor
        opacity: 0.8 + 0.2 * dial.pulse
    }
    Binding {
        when: dial.stepped
        target: dial
        property: "pulse"
        // Swells over 2.6 s and returns over 2.6 s.
        value: {
            const phase = dial.clock % 5200
            return ViewLogic.easeInOut(phase < 2600 ? phase / 2600 : (5200 - phase) / 2600)
        }
        restoreMode: Binding.RestoreNone
    }
    SequentialAnimation {
        running: dial.animated && !dial.stepped
        loops: Animation.Infinite
        NumberAnimation { target: dial; property: "pulse"; to: 1; duration: 2600; easing.type: Easing.Bezier; easing.bezierCurve: [0.42, 0, 0.58, 1, 1, 1] }
        NumberAnimation { target: dial; property: "pulse"; to: 0; duration: 2600; easing.type: Easing.Bezier; easing.bezierCurve: [0.42, 0, 0.58, 1, 1, 1] }
    }
}
