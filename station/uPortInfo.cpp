#include "station/uPortInfo.h"

#include <functional>
#include <nlohmann/json.hpp>

#include "station/uText.h"

namespace {

struct TColumn {
  const char* Title;
  std::function<std::string(const TPortInfo&)> Cell;
};

std::string AccessText(const TPortInfo& p) {
  if (p.Access < 0) return "";
  if (p.Access > 0) return "yes";
  return p.Group.empty() ? "no" : "no (group " + p.Group + ")";
}

const std::vector<TColumn>& Columns() {
  static const std::vector<TColumn> columns = {
      {"Port", [](const TPortInfo& p) { return p.Port; }},
      {"Kernel", [](const TPortInfo& p) { return p.Kernel == p.Port ? std::string() : p.Kernel; }},
      {"Name", [](const TPortInfo& p) { return p.FriendlyName; }},
      {"USB", [](const TPortInfo& p) { return p.UsbId; }},
      {"Manufacturer", [](const TPortInfo& p) { return p.Manufacturer; }},
      {"Product", [](const TPortInfo& p) { return p.Product; }},
      {"Serial", [](const TPortInfo& p) { return p.Serial; }},
      {"Location", [](const TPortInfo& p) { return p.Location; }},
      {"Driver", [](const TPortInfo& p) { return p.Driver; }},
      {"Latency",
       [](const TPortInfo& p) { return p.LatencyMs < 0 ? "" : std::to_string(p.LatencyMs) + " ms"; }},
      {"Access", AccessText},
  };
  return columns;
}

nlohmann::ordered_json TextOrNull(const std::string& text) {
  return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

}  // namespace

std::string SocketLabel(const std::string& location) {
  // "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)": the hub ports after the controller's root hub.
  const size_t root = location.rfind("USBROOT(");
  if (root == std::string::npos) return location;
  size_t at = location.find(')', root);
  std::string label;
  while (at != std::string::npos && location.compare(at + 1, 5, "#USB(") == 0) {
    const size_t start = at + 6;
    const size_t end = location.find(')', start);
    if (end == std::string::npos || end == start || end - start > 3 ||
        location.find_first_not_of("0123456789", start) < end) {
      break;
    }
    if (!label.empty()) label += '.';
    label.append(location, start, end - start);
    at = end;
  }
  return label.empty() ? location : label;
}

std::string PortsTable(const std::vector<TPortInfo>& ports) {
  std::vector<const TColumn*> used;
  for (const TColumn& column : Columns()) {
    for (const TPortInfo& p : ports) {
      if (!column.Cell(p).empty()) {
        used.push_back(&column);
        break;
      }
    }
  }
  std::vector<std::vector<std::string>> rows(1);
  for (const TColumn* column : used) rows[0].push_back(column->Title);
  for (const TPortInfo& p : ports) {
    rows.emplace_back();
    // Names and USB descriptor strings come from the device: shown, never obeyed by the terminal.
    for (const TColumn* column : used) rows.back().push_back(TerminalSafe(column->Cell(p)));
  }
  return FormatTable(rows);
}

std::string PortsJson(const std::vector<TPortInfo>& ports) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const TPortInfo& p : ports) {
    array.push_back({
        {"port", p.Port},
        {"kernel", TextOrNull(p.Kernel)},
        {"usb_id", TextOrNull(p.UsbId)},
        {"manufacturer", TextOrNull(p.Manufacturer)},
        {"product", TextOrNull(p.Product)},
        {"serial", TextOrNull(p.Serial)},
        {"location", TextOrNull(p.Location)},
        {"driver", TextOrNull(p.Driver)},
        {"friendly_name", TextOrNull(p.FriendlyName)},
        {"group", TextOrNull(p.Group)},
        {"access", p.Access < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(p.Access > 0)},
        {"latency_timer_ms",
         p.LatencyMs < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(p.LatencyMs)},
    });
  }
  // Texts from the system may hold bytes that are not UTF-8: replace them rather than fail.
  return JsonTerminalSafe(array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)) + "\n";
}
