import Glintward.Views
import QtQuick
import QtQuick.Shapes

// The pie slice that ends at the 0-degree direction (pointing right) and starts `sweep` degrees before it,
// filled bright at its leading edge and fading to nothing at its trailing edge.
Shape {
    id: wedge

    property real sweep: 88
    property color color: "white"

    readonly property real cx: width / 2
    readonly property real cy: height / 2
    readonly property real r: Math.min(width, height) / 2

    function tinted(a) { return Qt.rgba(color.r, color.g, color.b, a) }

    ShapePath {
        strokeWidth: -1
        strokeColor: "transparent"
        // The conical gradient runs counter-clockwise on screen from its angle, which is the way from the
        // leading edge back across the wedge.
        fillGradient: ConicalGradient {
            centerX: wedge.cx
            centerY: wedge.cy
            angle: 0
            GradientStop { position: 0; color: wedge.tinted(0.45) }
            GradientStop { position: wedge.sweep / 720; color: wedge.tinted(0.1) }
            GradientStop { position: wedge.sweep / 360; color: wedge.tinted(0) }
            GradientStop { position: 1; color: wedge.tinted(0) }
        }
        startX: wedge.cx
        startY: wedge.cy
        PathAngleArc {
            centerX: wedge.cx
            centerY: wedge.cy
            radiusX: wedge.r
            radiusY: wedge.r
            startAngle: -wedge.sweep
            sweepAngle: wedge.sweep
            moveToStart: false
        }
        PathLine { x: wedge.cx; y: wedge.cy }
    }
}
