#include "app/Views/ViewsModule.h"

#include <QQmlEngine>

#include "app/DesignSystem.h"

void qml_register_types_Glintward_Views();

namespace glintward {

void initViewsModule(QQmlEngine& engine) {
    static const bool registered = [] {
        qml_register_types_Glintward_Views();
        return true;
    }();
    (void)registered;
    registerBundledFonts();
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
}

}  // namespace glintward
