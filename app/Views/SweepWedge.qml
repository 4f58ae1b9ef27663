import Glintward.Views
import QtQuick
import QtQuick.Shapes

// The pie slice whose apex is the item's bottom-left corner: it ends at the 0-degree direction (pointing right)
// and starts `sweep` degrees (at most 90) before it, filled bright at its leading edge and fading to nothing at
// its trailing edge. The item is the slice's quarter of the circle and no more (`radius` square, rounded up to
// whole pixels), so turning it about its apex repaints only what the slice covers.
Shape {
    id: wedge

    property real sweep: 88
    property color color: "white"

    property real radius: 50

    function tinted(a) { return Qt.rgba(color.r, color.g, color.b, a) }

    implicitWidth: Math.ceil(radius)
    implicitHeight: Math.ceil(radius)
    transformOrigin: Item.BottomLeft

    ShapePath {
        strokeWidth: -1
        strokeColor: "transparent"
        // The conical gradient runs counter-clockwise on screen from its angle, which is the way from the
        // leading edge back across the wedge.
        fillGradient: ConicalGradient {
            centerX: 0
            centerY: wedge.height
            angle: 0
            GradientStop { position: 0; color: wedge.tinted(0.45) }
            GradientStop { position: wedge.sweep / 720; color: wedge.tinted(0.1) }
            GradientStop { position: wedge.sweep / 360; color: wedge.tinted(0) }
            GradientStop { position: 1; color: wedge.tinted(0) }
        }
        startX: 0
        startY: wedge.height
        PathAngleArc {
            centerX: 0
            centerY: wedge.height
            radiusX: wedge.radius
            radiusY: wedge.radius
            startAngle: -wedge.sweep
            sweepAngle: wedge.sweep
            moveToStart: false
        }
        PathLine { x: 0; y: wedge.height }
    }
}
