#include "station/uUsbHub_win32.h"

// after windows.h
#include <winioctl.h>
// after winioctl.h
#include <usbioctl.h>

#include <vector>

#include "station/uUsbDescriptor.h"

namespace {

// GUID_DEVINTERFACE_USB_HUB: the interface every hub, the root hubs among them, offers for these requests.
const GUID kUsbHubInterface = {0xf18a0e88, 0xc30c, 0x11d0, {0x88, 0x15, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0xd8}};
constexpr USHORT kEnglishUs = 0x0409;  // the language nearly every device offers, when it lists none

// The path of the hub interface of the device `hubId`; empty when it offers none.
std::wstring HubPath(std::wstring hubId) {
  ULONG length = 0;
  if (CM_Get_Device_Interface_List_SizeW(&length, const_cast<GUID*>(&kUsbHubInterface), hubId.data(),
                                         CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != CR_SUCCESS ||
      length <= 1 || length > 32768) {
    return {};
  }
  std::wstring list(length, L'\0');
  if (CM_Get_Device_Interface_ListW(const_cast<GUID*>(&kUsbHubInterface), hubId.data(), list.data(), length,
                                    CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != CR_SUCCESS) {
    return {};
  }
  return list.c_str();  // the first of the list
}

// String descriptor `index` in `language` of the device on `port` of `hub`, as the device sent it.
bool StringDescriptor(HANDLE hub, ULONG port, UCHAR index, USHORT language, std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> buffer(sizeof(USB_DESCRIPTOR_REQUEST) + MAXIMUM_USB_STRING_LENGTH);
  auto* request = reinterpret_cast<USB_DESCRIPTOR_REQUEST*>(buffer.data());
  request->ConnectionIndex = port;
  request->SetupPacket.bmRequest = 0x80;  // device to host, standard, to the device
  request->SetupPacket.bRequest = USB_REQUEST_GET_DESCRIPTOR;
  request->SetupPacket.wValue = static_cast<USHORT>((USB_STRING_DESCRIPTOR_TYPE << 8) | index);
  request->SetupPacket.wIndex = language;
  request->SetupPacket.wLength = MAXIMUM_USB_STRING_LENGTH;
  DWORD got = 0;
  const DWORD size = static_cast<DWORD>(buffer.size());
  if (!DeviceIoControl(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, buffer.data(), size, buffer.data(),
                       size, &got, nullptr) ||
      got < sizeof(USB_DESCRIPTOR_REQUEST) || got > size) {
    return false;
  }
  bytes.assign(buffer.begin() + sizeof(USB_DESCRIPTOR_REQUEST), buffer.begin() + got);
  return true;
}

struct THandle {
  explicit THandle(HANDLE h) : H(h) {}
  ~THandle() {
    if (H != INVALID_HANDLE_VALUE) CloseHandle(H);
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE H;
};

}  // namespace

std::string UsbSerialThroughHub(DEVINST usbDevice, uint16_t vendor, uint16_t product) {
  DEVINST hub = 0;
  wchar_t hubId[MAX_DEVICE_ID_LEN + 1] = {};
  // For a USB device its address is the number of the hub port it is plugged into.
  ULONG port = 0, size = sizeof port;
  if (CM_Get_Parent(&hub, usbDevice, 0) != CR_SUCCESS ||
      CM_Get_Device_IDW(hub, hubId, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS ||
      CM_Get_DevNode_Registry_PropertyW(usbDevice, CM_DRP_ADDRESS, nullptr, &port, &size, 0) != CR_SUCCESS ||
      port == 0 || port > 255) {
    return {};
  }
  const std::wstring path = HubPath(hubId);
  if (path.empty()) return {};
  // Write access is what the hub's requests need; any user has it.
  const THandle handle(
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (handle.H == INVALID_HANDLE_VALUE) return {};

  USB_NODE_CONNECTION_INFORMATION_EX info{};
  info.ConnectionIndex = port;
  DWORD got = 0;
  if (!DeviceIoControl(handle.H, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, &info, sizeof info, &info,
                       sizeof info, &got, nullptr) ||
      got < offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList)) {
    return {};
  }
  // Another device may sit on that port by now: only this one's serial is taken.
  if (info.ConnectionStatus != DeviceConnected || info.DeviceDescriptor.idVendor != vendor ||
      info.DeviceDescriptor.idProduct != product || info.DeviceDescriptor.iSerialNumber == 0) {
    return {};
  }
  std::vector<uint8_t> bytes;
  USHORT language = kEnglishUs;
  if (StringDescriptor(handle.H, port, 0, 0, bytes)) {
    if (const uint16_t first = FirstUsbLanguage(bytes.data(), bytes.size()); first != 0) language = first;
  }
  std::string serial;
  if (!StringDescriptor(handle.H, port, info.DeviceDescriptor.iSerialNumber, language, bytes) ||
      !ParseUsbStringDescriptor(bytes.data(), bytes.size(), serial)) {
    return {};
  }
  return serial;
}
