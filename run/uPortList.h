// Serial port discovery: the USB virtual serial ports of the system's serial-port map.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One value of the serial-port map: its name (the kernel device name) and its data (the port name).
struct TSerialMapEntry {
  std::string Name;
  std::string Data;
};

// The port names of the entries whose name, in lower case, begins with "\device\vcp", in map order.
std::vector<std::string> FilterPortMap(const std::vector<TSerialMapEntry>& map);

// Every text value of the registry's serial-port map, in the registry's order (Windows only).
std::vector<TSerialMapEntry> ReadSerialPortMap();

// Replaces `list` with the offered ports of the registry's serial-port map (Windows; empty elsewhere).
void FillPortList(std::vector<std::string>& list);

// True when a WM_DEVICECHANGE with this wParam and device type announces a port's arrival or removal.
bool IsPortChange(uintptr_t wParam, uint32_t deviceType);
