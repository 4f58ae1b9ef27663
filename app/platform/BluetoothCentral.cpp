#include "app/platform/BluetoothCentral.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/platform/BluezCentral.h"
#include "app/platform/SnoopReplayCentral.h"

namespace glintward {

std::string_view centralStateText(CentralState state) {
    switch (state) {
        case CentralState::UNKNOWN:
            return "unknown";
        case CentralState::RESETTING:
            return "resetting";
        case CentralState::UNSUPPORTED:
            return "unsupported";
        case CentralState::UNAUTHORIZED:
            return "unauthorized";
        case CentralState::POWERED_OFF:
            return "poweredOff";
        case CentralState::POWERED_ON:
            return "poweredOn";
    }
    return "unknown";
}

std::unique_ptr<BluetoothCentral> makeBluetoothCentral(CentralDelegate& delegate, SerialQueue& callbackQueue,
                                                       CentralLogger logger) {
    const char* replay = std::getenv("GLINTWARD_REPLAY");
    if (replay != nullptr && *replay != '\0') {
        return std::make_unique<SnoopReplayCentral>(delegate, callbackQueue, replay, 1.0, std::move(logger));
    }
    return std::make_unique<BluezCentral>(delegate, callbackQueue, std::string(), "org.bluez",
                                          std::move(logger));
}

std::optional<std::string> replayCaptureProblem() {
    const char* replay = std::getenv("GLINTWARD_REPLAY");
    if (replay == nullptr || *replay == '\0') return std::nullopt;
    const std::string prefix = std::string("GLINTWARD_REPLAY: cannot read ") + replay + ": ";
    struct stat info {};
    if (::stat(replay, &info) != 0) return prefix + std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return prefix + std::strerror(EISDIR);
    if (::faccessat(AT_FDCWD, replay, R_OK, AT_EACCESS) != 0) return prefix + std::strerror(errno);
    return std::nullopt;
}

}  // namespace glintward
