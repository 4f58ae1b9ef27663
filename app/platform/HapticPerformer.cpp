#include "app/platform/HapticPerformer.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "app/platform/SerialQueue.h"

namespace glintward {
namespace {

bool hasBit(const unsigned long* bits, int bit) {
    constexpr int WORD = 8 * sizeof(unsigned long);
    return (bits[bit / WORD] >> (bit % WORD)) & 1UL;
}

class EvdevHapticPerformer : public HapticPerformer {
public:
    // The caller is the user-interface thread: the device work, which waits for the tap to finish, runs on a
    // queue of its own.
    void perform() override {
        queue_.async([] { tapFirstDevice(); });
    }

private:
    static void tapFirstDevice() {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/input", error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("event", 0) != 0) continue;
            const int fd = ::open(entry.path().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) continue;
            const bool played = rumble(fd);
            ::close(fd);
            if (played) return;
        }
    }

    static bool rumble(int fd) {
        unsigned long features[(FF_MAX + 8 * sizeof(unsigned long)) / (8 * sizeof(unsigned long))] = {};
        if (::ioctl(fd, EVIOCGBIT(EV_FF, sizeof features), features) < 0 || !hasBit(features, FF_RUMBLE)) {
            return false;
        }
        ff_effect effect{};
        effect.type = FF_RUMBLE;
        effect.id = -1;
        effect.u.rumble.strong_magnitude = 0x6000;
        effect.u.rumble.weak_magnitude = 0x6000;
        effect.replay.length = 40;  // milliseconds: a tap, not a buzz
        if (::ioctl(fd, EVIOCSFF, &effect) < 0) return false;
        input_event play{};
        play.type = EV_FF;
        play.code = static_cast<unsigned short>(effect.id);
        play.value = 1;
        const bool ok = ::write(fd, &play, sizeof play) == static_cast<ssize_t>(sizeof play);
        // The effect keeps playing after its slot is freed only while the device is open, so let it finish.
        ::usleep(50'000);
        ::ioctl(fd, EVIOCRMFF, effect.id);
        return ok;
    }

    SerialQueue queue_{"glintward.haptic"};
};

}  // namespace

std::shared_ptr<HapticPerformer> makeEvdevHapticPerformer() { return std::make_shared<EvdevHapticPerformer>(); }

}  // namespace glintward
