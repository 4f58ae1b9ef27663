import Glintward.Views
import QtQuick

// A row of equal segments, lit from the left in proportion to the signal.
Item {
    id: meter

    property real smoothedRssi: -100
    property color tint: Palette.textMuted
    property int segments: 10
    // Off while the panel is hidden, so that it opens on the current reading instead of fading to it.
    property bool animated: true
    readonly property int filled: ViewLogic.filledSegments(smoothedRssi, segments)

    implicitHeight: 6

    Row {
        anchors.fill: parent
        spacing: 3
        Repeater {
            model: Math.max(0, meter.segments)
            Rectangle {
                required property int index
                objectName: "segment"
                width: (meter.width - 3 * (meter.segments - 1)) / meter.segments
                height: 6
                radius: 2
                color: index < meter.filled ? meter.tint : Palette.borderSubtle
                Behavior on color {
                    enabled: meter.animated
                    ColorAnimation { duration: 420; easing.type: Easing.Bezier; easing.bezierCurve: [0, 0, 0.58, 1, 1, 1] }
                }
            }
        }
    }
}
