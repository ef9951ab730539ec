// The ports of a Windows system: the ports the window offers (the serial-port map, filtered as the window
// filters it), each with what SetupAPI knows of its device.
#include <windows.h>
// setupapi.h and cfgmgr32.h after windows.h; the CM_ functions come from setupapi.dll as well
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cctype>
#include <map>

#include "device/uWinText_win32.h"
#include "run/uPortList.h"
#include "station/uPortDiag.h"
#include "station/uPortInfo.h"
#include "station/uSetupApi_win32.h"

namespace {

std::string UpperAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A text property of a device (for a list of texts, the first); empty where it has none.
std::string DeviceText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t buffer[512] = {};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, reinterpret_cast<BYTE*>(buffer),
                                         sizeof buffer - sizeof(wchar_t), nullptr)) {
    return {};
  }
  return ToUtf8(buffer);  // a list of texts ends its first at the first NUL
}

// "USB\VID_0403&PID_6001..." or "FTDIBUS\COMPORT&VID_0403&PID_6001" as "0403:6001".
std::string UsbIdOf(const std::string& hardwareId) {
  const std::string upper = UpperAscii(hardwareId);
  const size_t vid = upper.find("VID_");
  const size_t pid = upper.find("PID_");
  if (vid == std::string::npos || pid == std::string::npos || vid + 8 > upper.size() ||
      pid + 8 > upper.size()) {
    return {};
  }
  std::string id = hardwareId.substr(vid + 4, 4) + ":" + hardwareId.substr(pid + 4, 4);
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return id;
}

// The instance id of a device node ("USB\VID_0403&PID_6001\A50285BI"); empty where it has none.
std::string InstanceId(DEVINST node) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
  return ToUtf8(id);
}

// The location of a device node ("Port_#0004.Hub_#0006"); empty where it has none.
std::string LocationOf(DEVINST node) {
  wchar_t text[256] = {};
  ULONG size = sizeof text - sizeof(wchar_t);
  if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_INFORMATION, nullptr, text, &size, 0) !=
      CR_SUCCESS) {
    return {};
  }
  return ToUtf8(text);
}

// The serial number and socket from the USB device the port belongs to: the port's own device (a
// CDC-ACM logger) or one above it (an adapter's bus driver, or the interface of a composite device). Its
// instance id ends in the USB serial number where the device reports one; where not, Windows makes one
// up, always with "&" in it. Its location names the hub port it is plugged into.
void AddUsbDeviceFacts(DEVINST node, TPortInfo& info) {
  for (int up = 0; up < 3; ++up) {
    const std::string id = InstanceId(node);
    const std::string upper = UpperAscii(id);
    if (upper.rfind("USB\\VID_", 0) == 0 && upper.find("&MI_") == std::string::npos) {
      const std::string serial = id.substr(id.rfind('\\') + 1);
      if (!serial.empty() && serial.find('&') == std::string::npos) info.Serial = serial;
      if (const std::string location = LocationOf(node); !location.empty()) info.Location = location;
      return;
    }
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return;
    node = parent;
  }
}

// What SetupAPI knows of the present ports' devices, by port name (upper case).
std::map<std::string, TPortInfo> PresentDevices() {
  std::map<std::string, TPortInfo> devices;
  const HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return devices;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    const std::string port = ToUtf8(DevicePortName(set, device));
    if (port.empty()) continue;
    TPortInfo info;
    info.FriendlyName = DeviceText(set, device, SPDRP_FRIENDLYNAME);
    info.Manufacturer = DeviceText(set, device, SPDRP_MFG);
    info.Driver = DeviceText(set, device, SPDRP_SERVICE);
    info.UsbId = UsbIdOf(DeviceText(set, device, SPDRP_HARDWAREID));
    info.Location = DeviceText(set, device, SPDRP_LOCATION_INFORMATION);
    AddUsbDeviceFacts(device.DevInst, info);
    devices[UpperAscii(port)] = info;
  }
  SetupDiDestroyDeviceInfoList(set);
  return devices;
}

TPortInfo Describe(const std::string& port, const std::map<std::string, TPortInfo>& devices,
                   const std::vector<TSerialMapEntry>& map) {
  TPortInfo info;
  if (const auto it = devices.find(UpperAscii(port)); it != devices.end()) info = it->second;
  info.Port = port;
  for (const TSerialMapEntry& entry : map) {
    if (UpperAscii(entry.Data) == UpperAscii(port)) {
      info.Kernel = entry.Name;
      break;
    }
  }
  info.LatencyMs = GatherLatencyFacts(port).TimerMs;
  return info;
}

}  // namespace

std::vector<std::string> ListSerialPorts() {
  std::vector<std::string> ports;
  FillPortList(ports);
  return ports;
}

// Windows has no device folder: the serial-port map is the list, whatever root is named.
std::vector<std::string> ListSerialPortsIn(const std::string&) {
  return ListSerialPorts();
}

std::string CanonicalPortKey(const std::string& port) {
  return UpperAscii(port);
}

std::vector<TPortInfo> ListPortInfo(const TSystemRoots&) {
  const std::vector<TSerialMapEntry> map = ReadSerialPortMap();
  const std::map<std::string, TPortInfo> devices = PresentDevices();
  std::vector<TPortInfo> ports;
  for (const std::string& port : FilterPortMap(map)) ports.push_back(Describe(port, devices, map));
  return ports;
}

TPortInfo DescribePort(const std::string& port, const TSystemRoots&) {
  return Describe(port, PresentDevices(), ReadSerialPortMap());
}
