#include "tray/PanelModule.h"

#include <QQmlEngine>

void qml_register_types_Glintward_Panel();

namespace glintward {

void initPanelModule(QQmlEngine& engine) {
    static const bool registered = [] {
        qml_register_types_Glintward_Panel();
        return true;
    }();
    (void)registered;
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
}

QUrl panelUrl() {
    return QUrl(QStringLiteral("qrc:/qt/qml/Glintward/Panel/RadarPanel.qml"));
}

}  // namespace glintward
