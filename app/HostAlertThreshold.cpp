#include "app/HostAlertThreshold.h"

namespace glintward {

AlertThreshold next(AlertThreshold threshold) {
    switch (threshold) {
        case AlertThreshold::VERY_CLOSE:
            return AlertThreshold::IN_THE_ROOM;
        case AlertThreshold::IN_THE_ROOM:
            return AlertThreshold::ANY_DISTANCE;
        case AlertThreshold::ANY_DISTANCE:
            return AlertThreshold::VERY_CLOSE;
    }
    return AlertThreshold::IN_THE_ROOM;
}

std::string_view subtitle(AlertThreshold threshold) {
    switch (threshold) {
        case AlertThreshold::VERY_CLOSE:
            return "Only alert when signal strength suggests about arm's length";
        case AlertThreshold::IN_THE_ROOM:
            return "Only alert when signal strength suggests ~5 m or closer";
        case AlertThreshold::ANY_DISTANCE:
            return "Alert on anything the radar can hear";
    }
    return {};
}

AlertThreshold alertThresholdFromRaw(std::string_view raw) {
    if (raw == "VERY_CLOSE") return AlertThreshold::VERY_CLOSE;
    if (raw == "ANY_DISTANCE") return AlertThreshold::ANY_DISTANCE;
    return AlertThreshold::IN_THE_ROOM;
}

}  // namespace glintward
