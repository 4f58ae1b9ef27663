import Glintward.Views
import QtQuick

Rectangle {
    property real size: 7

    width: size
    height: size
    radius: size / 2
}
