#pragma once
// Opening the desktop's Bluetooth settings.

#include <memory>

namespace glintward {

class Workspace {
public:
    virtual ~Workspace() = default;
    // Starts the first Bluetooth settings program found, detached; the outcome is not reported.
    virtual void openBluetoothSettings() = 0;
};

std::shared_ptr<Workspace> makeDesktopWorkspace();

}  // namespace glintward
