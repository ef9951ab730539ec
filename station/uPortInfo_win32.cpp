// The ports of a Windows system: the ports the window offers (the serial-port map, filtered as the window
// filters it), each with what SetupAPI knows of its present device and of the USB device it belongs to.
#include <windows.h>
// setupapi.h and cfgmgr32.h after windows.h; the CM_ functions come from setupapi.dll as well
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cctype>
#include <map>
#include <memory>
#include <mutex>

#include "device/uWinText_win32.h"
#include "run/uPortList.h"
#include "station/uPortInfo.h"
#include "station/uSetupApi_win32.h"
#include "station/uUsbFlags.h"
#include "station/uUsbHub_win32.h"

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
std::wstring InstanceId(DEVINST node) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
  return id;
}

// The first location path of a device node ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)"): built from
// the bus addresses, so it names the same socket whatever numbers Windows gave the hubs.
std::string LocationPathOf(DEVINST node) {
  wchar_t text[1024] = {};
  ULONG size = sizeof text - 2 * sizeof(wchar_t);
  if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_PATHS, nullptr, text, &size, 0) != CR_SUCCESS) {
    return {};
  }
  return ToUtf8(text);  // the first of the list
}

// When the device node last arrived: a new value for every plug, also where its instance id stays the same
// for every logger in the socket. 0 where the system does not tell.
uint64_t ArrivalStamp(const std::wstring& instanceId) {
  // DEVPKEY_Device_LastArrivalDate
  static const DEVPROPKEY kLastArrival = {
      {0x83da6326, 0x97a6, 0x4088, {0x94, 0x53, 0xa1, 0x92, 0x3f, 0x57, 0x3b, 0x29}}, 102};
  const HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return 0;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  FILETIME stamp{};
  DEVPROPTYPE type = 0;
  const bool ok = SetupDiOpenDeviceInfoW(set, instanceId.c_str(), nullptr, 0, &device) &&
                  SetupDiGetDevicePropertyW(set, &device, &kLastArrival, &type,
                                            reinterpret_cast<BYTE*>(&stamp), sizeof stamp, nullptr, 0) &&
                  type == DEVPROP_TYPE_FILETIME;
  SetupDiDestroyDeviceInfoList(set);
  return ok ? (static_cast<uint64_t>(stamp.dwHighDateTime) << 32) | stamp.dwLowDateTime : 0;
}

// Serial numbers read through hubs, by USB device instance and arrival: asking a hub waits for the
// device, and a plug storm asks for the same devices again and again.
std::mutex gHubSerialsMutex;
std::map<std::pair<std::wstring, uint64_t>, std::string> gHubSerials;

std::string HubSerial(DEVINST node, const std::wstring& instanceId, const std::string& usbId) {
  TUsbId id;
  if (!ParseUsbId(usbId, id)) return {};
  const uint64_t stamp = ArrivalStamp(instanceId);
  // Without an arrival time a made-up id may stand for another logger each time: asked anew.
  if (stamp == 0) return UsbSerialThroughHub(node, id.Vendor, id.Product);
  const auto key = std::make_pair(instanceId, stamp);
  {
    std::lock_guard<std::mutex> lock(gHubSerialsMutex);
    if (const auto it = gHubSerials.find(key); it != gHubSerials.end()) return it->second;
  }
  const std::string serial = UsbSerialThroughHub(node, id.Vendor, id.Product);
  std::lock_guard<std::mutex> lock(gHubSerialsMutex);
  if (gHubSerials.size() >= 1024) gHubSerials.clear();  // a day of loggers, then again from the hubs
  gHubSerials[key] = serial;
  return serial;
}

// The serial number, socket and interface from the USB device the port belongs to: the port's own device
// (a CDC-ACM logger) or one above it (an adapter's bus driver, or the interface of a composite device).
// Its instance id ends in the USB serial number where Windows took that as the id; where not (no serial,
// or IgnoreHWSerNum set for its ids) Windows made one up, always with "&" in it, and the serial is asked
// of the device through its hub.
void AddUsbDeviceFacts(DEVINST node, IUsbFlags& flags, TPortInfo& info) {
  for (int up = 0; up < 3; ++up) {
    const std::wstring wideId = InstanceId(node);
    const std::string id = ToUtf8(wideId);
    const std::string upper = UpperAscii(id);
    if (const size_t mi = upper.find("&MI_"); mi != std::string::npos) {
      if (info.Interface.empty()) info.Interface = upper.substr(mi + 1, 5);
    } else if (upper.rfind("USB\\VID_", 0) == 0) {
      const std::string usbId = UsbIdOf(id);
      const std::string serial = id.substr(id.rfind('\\') + 1);
      const bool madeUp = serial.empty() || serial.find('&') != std::string::npos;
      info.Serial = madeUp ? HubSerial(node, wideId, usbId) : serial;
      info.Location = LocationPathOf(node);
      TUsbId ids;
      info.SocketSetUp = madeUp && ParseUsbId(usbId, ids) && flags.IgnoresSerial(ids);
      return;
    }
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return;
    node = parent;
  }
}

// What SetupAPI knows of the present ports' devices, by port name (upper case), in one enumeration. A name
// that two present devices claim is left out: which one the port opens cannot be told.
std::map<std::string, TPortInfo> PresentDevices() {
  std::map<std::string, TPortInfo> devices;
  std::map<std::string, int> claims;
  const std::unique_ptr<IUsbFlags> flags = PlatformUsbFlags();
  ForEachPresentPort(
      [&](HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& port, const std::wstring&) {
        const std::string key = UpperAscii(ToUtf8(port));
        if (++claims[key] > 1) return;
        TPortInfo& info = devices[key];
        info.FriendlyName = DeviceText(set, device, SPDRP_FRIENDLYNAME);
        info.Manufacturer = DeviceText(set, device, SPDRP_MFG);
        info.Driver = DeviceText(set, device, SPDRP_SERVICE);
        info.UsbId = UsbIdOf(DeviceText(set, device, SPDRP_HARDWAREID));
        info.LatencyMs = DeviceLatencyTimer(set, device);
        AddUsbDeviceFacts(device.DevInst, *flags, info);
      });
  for (const auto& [key, count] : claims) {
    if (count > 1) devices.erase(key);
  }
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
  return info;
}

std::vector<TPortInfo> DescribeAll(const std::vector<std::string>& ports,
                                   const std::vector<TSerialMapEntry>& map) {
  const std::map<std::string, TPortInfo> devices = PresentDevices();
  std::vector<TPortInfo> infos;
  for (const std::string& port : ports) infos.push_back(Describe(port, devices, map));
  return infos;
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
  return DescribeAll(FilterPortMap(map), map);
}

std::vector<TPortInfo> DescribePorts(const std::vector<std::string>& ports, const TSystemRoots&) {
  return DescribeAll(ports, ReadSerialPortMap());
}

TPortInfo DescribePort(const std::string& port, const TSystemRoots& roots) {
  return DescribePorts({port}, roots).front();
}
