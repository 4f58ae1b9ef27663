#include "tray/SceneGraphBackend.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QQuickWindow>

namespace glintward {

QString openGlRenderer() {
    QOpenGLContext context;
    if (!context.create()) return {};
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    if (!surface.isValid() || !context.makeCurrent(&surface)) return {};
    const auto* name = reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
    QString renderer = name ? QString::fromUtf8(name) : QString();
    context.doneCurrent();
    return renderer;
}

bool isSoftwareRasteriser(const QString& glRenderer) {
    for (const char* name : {"llvmpipe", "softpipe", "swrast", "software rasterizer"}) {
        if (glRenderer.contains(QLatin1String(name), Qt::CaseInsensitive)) return true;
    }
    return false;
}

bool softwareBackendWanted(const std::function<QString()>& probe) {
    for (const char* chosen : {"QT_QUICK_BACKEND", "QMLSCENE_DEVICE", "QSG_RHI_BACKEND"}) {
        if (!qEnvironmentVariableIsEmpty(chosen)) return false;
    }
    const QString renderer = probe();
    return renderer.isEmpty() || isSoftwareRasteriser(renderer);
}

void chooseSceneGraphBackend() {
    if (softwareBackendWanted()) QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

}  // namespace glintward
