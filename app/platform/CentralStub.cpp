// TEMPORARY until the central lands
#include "app/platform/BluetoothCentral.h"
namespace glintward {
std::string_view centralStateText(CentralState s) {
    switch (s) { case CentralState::POWERED_ON: return "poweredOn"; case CentralState::POWERED_OFF: return "poweredOff"; default: return "unknown"; }
}
std::unique_ptr<BluetoothCentral> makeBluetoothCentral(CentralDelegate&, SerialQueue&, CentralLogger) { return nullptr; }
}
