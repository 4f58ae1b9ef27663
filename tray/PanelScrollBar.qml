import QtQuick
import QtQuick.Controls.Basic as Controls

// The pages' scroll bar. It takes presses over its handle's column only: the padding on its inner side is left
// to the text buttons at the content's trailing edge, whose hit areas reach 8 px past their text into it.
Controls.ScrollBar {
    id: bar

    containmentMask: Item {
        x: bar.leftPadding
        width: bar.width - bar.leftPadding
        height: bar.height
    }
}
