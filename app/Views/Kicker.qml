import Glintward.Views
import QtQuick
import QtQuick.Layouts

// A section heading: the text upper-cased at the leading edge, an optional trailing text kept as given.
RowLayout {
    id: root

    required property string text
    property var trailing: undefined

    spacing: 8
    // One heading for screen readers, named as written: upper case is for the eye, and a reader may spell
    // it out letter by letter.
    Accessible.role: Accessible.Heading
    Accessible.name: !Accessibility.active ? ""
                     : root.trailing === undefined ? root.text : root.text + ": " + String(root.trailing)

    Text {
        objectName: "kickerText"
        text: root.text.toUpperCase()
        font: TypeScale.tracked(TypeScale.kicker, 1.62)
        color: Palette.textMuted
    }
    Item { Layout.fillWidth: true }
    Text {
        objectName: "kickerTrailing"
        visible: root.trailing !== undefined
        text: root.trailing === undefined ? "" : String(root.trailing)
        font: TypeScale.tracked(TypeScale.kicker, 1.62)
        color: Palette.textMuted
    }
}
