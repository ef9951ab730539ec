// What the port list and the latency timers both need of SetupAPI: the ports' device class and the port
// name a device of it carries.
#pragma once

#include <windows.h>
// after windows.h
#include <setupapi.h>

#include <string>

// The device setup class "Ports (COM & LPT)".
inline constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The PortName value of the device's hardware key ("COM5"); empty where it has none.
std::wstring DevicePortName(HDEVINFO set, SP_DEVINFO_DATA& device);
