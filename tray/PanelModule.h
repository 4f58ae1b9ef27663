#pragma once

#include <QUrl>

class QQmlEngine;

namespace glintward {

// Makes the Glintward.Panel module available to the engine; call initViewsModule first.
void initPanelModule(QQmlEngine& engine);

// The panel's root file, RadarPanel.
QUrl panelUrl();

}  // namespace glintward
