#pragma once

class QQmlEngine;

namespace glintward {

// Makes the Glintward.Views module (and the bundled fonts) available to the engine. The module lives in a
// static library, so its type registration is linked in by calling it from here.
void initViewsModule(QQmlEngine& engine);

}  // namespace glintward
