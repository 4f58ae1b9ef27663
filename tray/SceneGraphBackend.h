#pragma once
// Which of Qt Quick's renderers draws the panel. Its OpenGL renderer redraws the whole window every frame;
// where OpenGL is a software rasteriser (Mesa's llvmpipe, softpipe or swrast: a virtual machine, a remote
// desktop, a machine without a working graphics driver) that costs the processor several times what Qt
// Quick's software backend does, since the latter repaints only what changed.

#include <QString>
#include <functional>

namespace glintward {

// GL_RENDERER of an OpenGL context made on this platform, e.g. "llvmpipe (LLVM 15.0.6, 256 bits)"; empty when
// no context can be made. Needs the application object.
QString openGlRenderer();

bool isSoftwareRasteriser(const QString& glRenderer);

// Whether the panel should be drawn by the software backend: unless the user chose a backend or a graphics
// interface (QT_QUICK_BACKEND, QMLSCENE_DEVICE, QSG_RHI_BACKEND), when the renderer `probe` names is a
// software rasteriser, or when there is no OpenGL at all (Qt Quick would draw nothing).
bool softwareBackendWanted(const std::function<QString()>& probe = openGlRenderer);

// Selects the software backend when it is wanted. Call once the application object exists and before the
// first Qt Quick window.
void chooseSceneGraphBackend();

}  // namespace glintward
