import Glintward.Views
import QtQuick
import QtQuick.Layouts

Rectangle {
    implicitHeight: 1
    Layout.fillWidth: true
    color: Palette.borderSubtle
}
