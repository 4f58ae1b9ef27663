#pragma once
// Opening the desktop's Bluetooth settings.

#include <functional>
#include <memory>
#include <string>

namespace glintward {

class Workspace {
public:
    virtual ~Workspace() = default;
    // Starts the desktop's Bluetooth settings program and returns at once.
    virtual void openBluetoothSettings() = 0;
};

// Starts, detached, the first installed of the known Bluetooth settings programs, the current desktop's own
// (XDG_CURRENT_DESKTOP) first. One that cannot be started, or that ends with a failure within a few seconds (as
// a desktop's control centre does outside its own desktop), hands over to the next. Each program tried and what
// became of it goes to `log` as one line (standard error when empty). Main thread: the exit of a program is
// heard through the event loop.
std::shared_ptr<Workspace> makeDesktopWorkspace(std::function<void(std::string)> log = {});

}  // namespace glintward
