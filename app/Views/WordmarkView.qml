import Glintward.Views
import QtQuick

Row {
    spacing: 0

    Text {
        text: qsTr("GLINT")
        font: TypeScale.tracked(TypeScale.wordmark, 2.64)
        color: Palette.textMuted
    }
    Text {
        text: qsTr("WARD")
        font: TypeScale.tracked(TypeScale.wordmark, 2.64)
        color: Palette.chartreuse
    }
}
