#pragma once
// What the host adds to the shared AlertThreshold for the settings page: the cycling order, a subtitle, and
// the reading of a stored entry name.

#include <string_view>

#include "shared/detection/Alerting.h"

namespace glintward {

// VERY_CLOSE, IN_THE_ROOM, ANY_DISTANCE, then VERY_CLOSE again.
AlertThreshold next(AlertThreshold threshold);

std::string_view subtitle(AlertThreshold threshold);

// "VERY_CLOSE" and "ANY_DISTANCE" name their entries; any other text, in any case, reads as IN_THE_ROOM.
AlertThreshold alertThresholdFromRaw(std::string_view raw);

}  // namespace glintward
