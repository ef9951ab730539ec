// The one way the port code finds a port's device on Windows: the present devices of the Ports class, as
// SetupAPI lists them, matched by the port name in their hardware key, and from then on kept by their
// instance id. The port list and identity, the hints, the latency timer and the device restart all use it,
// so that what is read, written and restarted is the same present device, never a stale entry of a device
// that once had the same COM number (applications do not read the registry's device tree themselves).
#pragma once

#include <windows.h>
// after windows.h
#include <setupapi.h>

#include <functional>
#include <string>

// The device setup class "Ports (COM & LPT)".
inline constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The PortName value of the device's hardware key ("COM5"); empty where it has none.
std::wstring DevicePortName(HDEVINFO set, SP_DEVINFO_DATA& device);
// The device's instance id ("FTDIBUS\VID_0403+PID_6001+A50285BIA\0000"); empty where it has none.
std::wstring DeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA& device);

// Calls `visit` for every present device of the Ports class that has a port name, in one enumeration.
void ForEachPresentPort(
    const std::function<void(HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& port,
                             const std::wstring& instanceId)>& visit);

// The instance id of the present device whose port name is `port` (compared without case). Empty when none
// is, and when more than one claims the name: which of them the port opens cannot be told, and a timer
// written to the other one would be reported as set.
std::wstring PresentPortDevice(const std::wstring& port);

// A device opened by its instance id, present or not, in a set of its own.
class TDeviceByInstance {
 public:
  explicit TDeviceByInstance(const std::wstring& instanceId);
  ~TDeviceByInstance();
  TDeviceByInstance(const TDeviceByInstance&) = delete;
  TDeviceByInstance& operator=(const TDeviceByInstance&) = delete;
  bool Opened() const { return FOpened; }
  DWORD Error() const { return FError; }  // why it could not be opened
  HDEVINFO Set() const { return FSet; }
  SP_DEVINFO_DATA& Data() { return FData; }

 private:
  HDEVINFO FSet = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA FData{};
  bool FOpened = false;
  DWORD FError = 0;
};

// The LatencyTimer (REG_DWORD) of the device's hardware key, which drivers that have one (FTDI's among them)
// read when the device starts; -1 where it has none. At most 1000.
int DeviceLatencyTimer(HDEVINFO set, SP_DEVINFO_DATA& device);
