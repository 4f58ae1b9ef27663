#pragma once
// One short tap of haptic feedback. On Linux: a force-feedback rumble on the first input device that offers it;
// silent when there is none.

#include <memory>

namespace glintward {

class HapticPerformer {
public:
    virtual ~HapticPerformer() = default;
    virtual void perform() = 0;
};

// Finds a readable and writable /dev/input/event* device with EV_FF at each tap.
std::shared_ptr<HapticPerformer> makeEvdevHapticPerformer();

}  // namespace glintward
