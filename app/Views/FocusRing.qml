import Glintward.Views
import QtQuick

// Where the keyboard focus is: an accent outline around its parent control (or, with a negative outset,
// just inside it). The owner shows it only for focus that came from the keyboard, so that pointer use looks
// as it always did. The outline stands off the control, so it reads on the accent-filled button too.
Rectangle {
    objectName: "focusRing"

    property real outset: 4
    property real controlRadius: 0

    x: -outset
    y: -outset
    width: parent ? parent.width + 2 * outset : 0
    height: parent ? parent.height + 2 * outset : 0
    z: 10
    radius: Math.max(0, controlRadius + outset)
    color: "transparent"
    border.width: 2
    border.color: Palette.chartreuse
}
