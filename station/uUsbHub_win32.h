// A USB device's serial number as the device itself reports it, asked through the hub it is plugged into:
// for a device whose instance id no longer carries the serial (Windows made one up, as it does for every
// device once IgnoreHWSerNum is set for its vendor and product). No administrator rights are needed.
#pragma once

#include <windows.h>
// after windows.h
#include <cfgmgr32.h>

#include <cstdint>
#include <string>

// The serial number string of the USB device `usbDevice` (a device node of the USB bus, not an interface),
// read from its device descriptor through its parent hub, if the device on that hub port is still of
// `vendor` and `product`; empty when it reports none or the hub does not tell. Waits for the device's
// answers: call it off a window's thread.
std::string UsbSerialThroughHub(DEVINST usbDevice, uint16_t vendor, uint16_t product);
