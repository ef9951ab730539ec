// The ports of a Linux system, read from /dev and sysfs directly: the kernel's own view, with no library
// and no udev database needed, and every root replaceable by a fake tree in tests.
#include <grp.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "station/uPortInfo.h"

namespace fs = std::filesystem;

namespace {

struct TPortNode {
  std::string Port;    // what to open: the by-id link, or the kernel's node
  std::string Kernel;  // the node the link points to
};

// The names in `dir` that begin with `prefix`, sorted, as full paths.
std::vector<std::string> Entries(const fs::path& dir, const std::string& prefix) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(it->path().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Canonical(const fs::path& path) {
  std::error_code ec;
  const fs::path c = fs::canonical(path, ec);
  return ec ? std::string() : c.string();
}

// The stable names of USB serial adapters first, then the kernel's names of USB serial and CDC-ACM ports
// that no stable name points to: one entry per device node.
std::vector<TPortNode> PortNodesIn(const std::string& devDir) {
  std::vector<TPortNode> nodes;
  std::set<std::string> seen;
  for (const std::string& link : Entries(fs::path(devDir) / "serial" / "by-id", "")) {
    const std::string target = Canonical(link);  // a link whose device is gone has none
    if (!target.empty() && seen.insert(target).second) nodes.push_back({link, target});
  }
  for (const char* prefix : {"ttyUSB", "ttyACM"}) {
    for (const std::string& node : Entries(devDir, prefix)) {
      const std::string c = Canonical(node);
      if (seen.insert(c.empty() ? node : c).second) nodes.push_back({node, node});
    }
  }
  return nodes;
}

// The first line of a sysfs attribute, of at most a few hundred bytes: a file that is no attribute (a fake
// tree, a device that says anything) cannot make it read without end.
std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  char buffer[512] = {};
  in.read(buffer, sizeof buffer - 1);
  std::string line(buffer, static_cast<size_t>(in.gcount()));
  line = line.substr(0, line.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return std::to_string(gid);
  }
  return found->gr_name;
}

// What sysfs says of the tty `name` (ttyUSB0): driver, USB identity and location, latency timer.
void AddSysfsFacts(const std::string& name, const TSystemRoots& roots, TPortInfo& info) {
  const fs::path sys(roots.Sys);
  const fs::path device = sys / "class" / "tty" / name / "device";
  std::error_code ec;
  const fs::path driver = fs::read_symlink(device / "driver", ec);
  if (!ec) info.Driver = driver.filename().string();
  // The USB device is the nearest ancestor with a vendor id: above the interface, and above the
  // usb-serial port for converters.
  fs::path dir = Canonical(device);
  for (int up = 0; up < 6 && !dir.empty() && dir.has_relative_path(); ++up, dir = dir.parent_path()) {
    const std::string vendor = ReadLine(dir / "idVendor");
    // The interface's folder ("1-1.4:1.0", configuration 1, interface 0) tells the ports of a multi-port
    // adapter apart.
    const std::string folder = dir.filename().string();
    if (const size_t colon = folder.find(':'); colon != std::string::npos && info.Interface.empty()) {
      info.Interface = folder.substr(colon + 1);
    }
    if (vendor.empty()) continue;
    info.UsbId = vendor + ":" + ReadLine(dir / "idProduct");
    info.Manufacturer = ReadLine(dir / "manufacturer");
    info.Product = ReadLine(dir / "product");
    info.Serial = ReadLine(dir / "serial");
    // The device's folder is named by its bus and port path ("1-1.4"): the socket it is plugged into.
    info.Location = dir.filename().string();
    break;
  }
  // A converter with several ports on one interface numbers them.
  const std::string portNumber = ReadLine(sys / "bus" / "usb-serial" / "devices" / name / "port_number");
  if (!portNumber.empty() && portNumber != "0" && portNumber.size() <= 3 &&
      portNumber.find_first_not_of("0123456789") == std::string::npos) {
    info.Interface += "/" + portNumber;
  }
  const std::string latency = ReadLine(sys / "bus" / "usb-serial" / "devices" / name / "latency_timer");
  // The timer is one byte in the adapter: anything else is not a timer.
  if (!latency.empty() && latency.size() <= 3 &&
      std::all_of(latency.begin(), latency.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
      std::stoi(latency) <= 255) {
    info.LatencyMs = std::stoi(latency);
  }
}

TPortInfo Describe(const TPortNode& node, const TSystemRoots& roots) {
  TPortInfo info;
  info.Port = node.Port;
  info.Kernel = node.Kernel;
  struct stat st {};
  if (::stat(node.Kernel.c_str(), &st) == 0) info.Group = GroupName(st.st_gid);
  info.Access = ::access(node.Kernel.c_str(), R_OK | W_OK) == 0 ? 1 : 0;
  AddSysfsFacts(fs::path(node.Kernel).filename().string(), roots, info);
  return info;
}

}  // namespace

std::vector<std::string> ListSerialPorts() {
  return ListSerialPortsIn("/dev");
}

std::string CanonicalPortKey(const std::string& port) {
  char buf[PATH_MAX];
  if (realpath(port.c_str(), buf) != nullptr) return buf;
  return port;
}

std::vector<std::string> ListSerialPortsIn(const std::string& devDir) {
  std::vector<std::string> ports;
  for (const TPortNode& node : PortNodesIn(devDir)) ports.push_back(node.Port);
  return ports;
}

std::vector<TPortInfo> ListPortInfo(const TSystemRoots& roots) {
  std::vector<TPortInfo> ports;
  for (const TPortNode& node : PortNodesIn(roots.Dev)) ports.push_back(Describe(node, roots));
  return ports;
}

std::vector<TPortInfo> DescribePorts(const std::vector<std::string>& ports, const TSystemRoots& roots) {
  std::vector<TPortInfo> infos;
  for (const std::string& port : ports) infos.push_back(DescribePort(port, roots));
  return infos;
}

TPortInfo DescribePort(const std::string& port, const TSystemRoots& roots) {
  // Plain names ("ttyUSB0") are looked up in /dev, as the port does.
  const std::string path = port.find('/') == std::string::npos ? (fs::path(roots.Dev) / port).string() : port;
  const std::string kernel = Canonical(path);
  if (kernel.empty()) {
    TPortInfo info;
    info.Port = port;
    info.Kernel = path;
    return info;
  }
  return Describe({port, kernel}, roots);
}
