// The serial ports a logger may be on, as the system describes them (`pellory-cli ports`).
#pragma once

#include <string>
#include <vector>

// Where the system's trees are (POSIX); tests point them at a fake tree.
struct TSystemRoots {
  std::string Sys = "/sys";
  std::string Dev = "/dev";
  std::string Proc = "/proc";
};

// One physical port. Empty texts and -1 mean that the system does not tell.
struct TPortInfo {
  std::string Port;          // the name to give --port: the stable /dev/serial/by-id link where there is one
  std::string Kernel;        // the kernel's name: /dev/ttyUSB0, or the serial-port map's \Device\VCP0
  std::string UsbId;         // vendor:product, "0403:6001"
  std::string Manufacturer;  // as the USB device names itself
  std::string Product;
  std::string Serial;
  // The physical socket: Linux the USB path ("1-1.4"), Windows the USB device's location path
  // ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)"), which stays the same however Windows numbers hubs.
  std::string Location;
  // Which port of a multi-port device in that socket: its USB interface ("1.0", Windows "MI_01"; Linux
  // adds the port of a converter with several on one interface); empty for a device with one.
  std::string Interface;
  std::string Driver;        // ftdi_sio, cdc_acm, ... (Windows: the driver's service)
  std::string FriendlyName;  // Windows: the device's name in the Device Manager
  std::string Group;         // POSIX: the group that owns the device node
  int Access = -1;           // 1: this user may open it for reading and writing, 0: may not
  int LatencyMs = -1;        // the USB adapter's latency timer
  // Windows: the socket is set up (IgnoreHWSerNum for the device's ids, and the device enumerated since):
  // every logger plugged there is the same device, with the same COM port and latency timer.
  bool SocketSetUp = false;
};

// Every present port, one entry per physical port (uPortInfo_posix.cpp: /dev and sysfs; uPortInfo_win32.cpp:
// the ports the window offers, with SetupAPI's names and the registry's latency timers).
std::vector<TPortInfo> ListPortInfo(const TSystemRoots& roots = {});

// What the system tells of one port name (not necessarily present; then only Port and Kernel are set).
TPortInfo DescribePort(const std::string& port, const TSystemRoots& roots = {});
// The same for several, in their order, with one look at the system's devices (Windows: one enumeration).
std::vector<TPortInfo> DescribePorts(const std::vector<std::string>& ports, const TSystemRoots& roots = {});

// A socket as a person reads it: Windows' location path by its hub ports ("1.4": port 4 of the hub in
// port 1 of the controller); anything else as it is.
std::string SocketLabel(const std::string& location);

// The serial ports a logger may be on.
std::vector<std::string> ListSerialPorts();
// POSIX: one name per port: the links of <devDir>/serial/by-id, then <devDir>/ttyUSB* and <devDir>/ttyACM*
// that no link points to, each group sorted. Windows: the ports the window offers, whatever the folder.
std::vector<std::string> ListSerialPortsIn(const std::string& devDir);
// The key that names one physical port whatever name it is reached by: the resolved device path on Linux,
// the upper-cased name on Windows.
std::string CanonicalPortKey(const std::string& port);

// A table with a header row; columns that no port fills are left out. Every cell terminal-safe.
std::string PortsTable(const std::vector<TPortInfo>& ports);
// One JSON array of objects with the same fields (null where the system does not tell), control and
// bidirectional characters escaped.
std::string PortsJson(const std::vector<TPortInfo>& ports);
