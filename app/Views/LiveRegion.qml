import Glintward.Views
import QtQuick

// Says its text to a screen reader whenever the text changes, wherever the focus is. It is never drawn and,
// never showing, stays out of the reading order: the text itself is shown, and read, where it stands.
Item {
    id: region

    required property string text

    visible: false
    Accessible.role: Accessible.Notification
    Accessible.name: Accessibility.active ? text : ""
    // Once this turn's bindings have run, so that the name a reader asks for is the new one and a burst of
    // changes is said once, as it ends.
    onTextChanged: if (Accessibility.active) Qt.callLater(Accessibility.announce, region)
}
