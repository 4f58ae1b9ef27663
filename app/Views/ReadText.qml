import Glintward.Views
import QtQuick

// A text that a screen reader reads where it stands. It names itself only while one listens, so a text that
// changes at every published state costs no name update while nobody does.
Text {
    Accessible.role: Accessible.StaticText
    Accessible.name: Accessibility.active ? text : ""
}
