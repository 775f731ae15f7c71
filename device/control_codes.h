// The control request codes the device takes through DeviceIoControl: the one place the host's
// checks, its status texts and the device itself read them from.
#pragma once

namespace pmbuspower_control {

// Request codes that become commands to the equipment; every other code reads the outcome back.
constexpr int kRectifierCommand = 300;
constexpr int kSetDcValue = 310;
constexpr int kRectifierSwitch = 320;

// Bytes of a code 300 request: the INFO of the rectifier command, as sent.
constexpr int kRectifierCommandLength = 7;

}  // namespace pmbuspower_control
