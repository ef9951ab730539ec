#include "station/uPortDiag.h"

#include <algorithm>
#include <cstdio>

#include "station/uPortInfo.h"

namespace {

std::string Octal(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777);
  return text;
}

std::string Seconds(long long ms) {
  const long long s = (ms + 500) / 1000;
  if (s < 60) return std::to_string(s) + " s";
  return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

void AccessHints(const TOpenFacts& f, std::vector<std::string>& hints) {
  if (f.Mode != 0 && (f.Mode & 0060) != 0060) {
    // Joining the group would not help.
    hints.push_back(f.Port + ": permission denied; only its owner " +
                    (f.Owner.empty() ? "" : "\"" + f.Owner + "\" ") + "may read and write it (mode " +
                    Octal(f.Mode) + ").");
    hints.push_back(
        "Run as that user, or give the device a group with a udev rule: GROUP=\"dialout\", MODE=\"0660\".");
    return;
  }
  const std::string group = f.Info.Group.empty() ? "dialout" : f.Info.Group;
  hints.push_back(f.Port + ": permission denied; the device belongs to the group \"" + group + "\".");
  if (f.InGroupNow) {
    hints.push_back("You are in that group, but the device does not let its group read and write it (mode " +
                    Octal(f.Mode) + "); a udev rule with MODE=\"0660\" for it fixes that.");
  } else if (f.InGroupDatabase) {
    hints.push_back(
        "You are in that group since your login began: log out and in again (or start a shell "
        "with: newgrp " +
        group + ").");
  } else {
    hints.push_back("Join it with: sudo usermod -aG " + group + " $USER");
    hints.push_back("then log out and in again (a new group counts from the next login).");
  }
}

void BusyHints(const TOpenFacts& f, std::vector<std::string>& hints) {
  if (!f.Holders.empty()) {
    const bool one = f.Holders.size() == 1;
    hints.push_back(f.Port + " is busy: " + Join(f.Holders) + (one ? " has" : " have") + " it open. Close " +
                    (one ? "that program" : "them") + " and try again.");
  } else if (f.HoldersVisible) {
    hints.push_back(f.Port + " is busy: another program has it open (not one of yours, so the system does " +
                    "not name it; `sudo fuser -v " + (f.Info.Kernel.empty() ? f.Port : f.Info.Kernel) +
                    "` does).");
  } else {
    hints.push_back(f.Port + " is busy: another program has it open. Close it and try again.");
  }
}

void NotFoundHints(const TOpenFacts& f, std::vector<std::string>& hints) {
  if (f.Existing.empty()) {
    hints.push_back(f.Port + ": no such port, and no serial port is present. Is the logger plugged in?");
    return;
  }
  // The system lists the port but cannot open it: its device went away after the list was read, or its
  // driver does not answer. Naming it among "the ports present" would contradict the first line.
  const std::string key = CanonicalPortKey(f.Port);
  if (std::any_of(f.Existing.begin(), f.Existing.end(),
                  [&key](const std::string& port) { return CanonicalPortKey(port) == key; })) {
    hints.push_back(f.Port +
                    ": the system lists this port, but its device cannot be found. Plug the logger " +
                    "in again; if that does not help, check its adapter's driver.");
    return;
  }
  hints.push_back(f.Port + ": no such port. The ports present:");
  for (const std::string& port : f.Existing) hints.push_back("  " + port);
}

}  // namespace

std::vector<std::string> OpenFailureHints(const TOpenFacts& f) {
  std::vector<std::string> hints;
  switch (f.Error.Failure) {
    case TPortFailure::Unknown:
      return hints;
    case TPortFailure::None:
      // Opened, and then a configuration step failed.
      hints.push_back(f.Port +
                      " opened, but did not take the line settings (9600 baud, 8 data bits, no parity, " +
                      "1 stop bit): it may be no serial port, or its driver failed.");
      break;
    case TPortFailure::AccessDenied:
      AccessHints(f, hints);
      break;
    case TPortFailure::Busy:
      BusyHints(f, hints);
      break;
    case TPortFailure::NotFound:
      NotFoundHints(f, hints);
      break;
    case TPortFailure::NotSerial:
      hints.push_back(f.Port + " is not a serial port.");
      break;
    case TPortFailure::Other:
      hints.push_back(f.Port + ": the system refused to open it (error " + std::to_string(f.Error.Code) +
                      ").");
      break;
  }
  // ModemManager opens every new CDC-ACM device to look for a modem; its probing reaches the logger.
  if (f.ModemManagerRunning && f.Info.Driver == "cdc_acm") {
    const std::string vendor = f.Info.UsbId.size() == 9 ? f.Info.UsbId.substr(0, 4) : "VVVV";
    const std::string product = f.Info.UsbId.size() == 9 ? f.Info.UsbId.substr(5, 4) : "PPPP";
    hints.push_back("ModemManager is running and may probe the logger on " + f.Port +
                    " (a CDC-ACM device). Make it leave the device alone with a udev rule, e.g. in "
                    "/etc/udev/rules.d/99-pellory.rules:");
    hints.push_back("  ATTRS{idVendor}==\"" + vendor + "\", ATTRS{idProduct}==\"" + product +
                    "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"");
    hints.push_back("then: sudo udevadm control --reload-rules, and plug the logger in again.");
  }
  return hints;
}

std::string LatencyCostText(const std::string& port, int timerMs) {
  const long long extra = static_cast<long long>(kExchangesPerUpdate) * timerMs;
  return "The USB adapter of " + port + " holds every answer up to " + std::to_string(timerMs) +
         " ms (its latency timer): with about 7,040 exchanges that adds up to " + Seconds(extra) +
         " to a complete update (" + Seconds(kExchangesPerUpdate) + " at 1 ms).";
}

std::string UdevLatencyRule(const TPortInfo& info, int ms) {
  // The ids come from the device: only plain hex (and a plain driver name) go into a rule.
  auto all = [](const std::string& text, const char* allowed) {
    return !text.empty() && text.find_first_not_of(allowed) == std::string::npos;
  };
  std::string match;
  if (info.UsbId.size() == 9 && info.UsbId[4] == ':' &&
      all(info.UsbId.substr(0, 4), "0123456789abcdefABCDEF") &&
      all(info.UsbId.substr(5), "0123456789abcdefABCDEF")) {
    match = "ATTRS{idVendor}==\"" + info.UsbId.substr(0, 4) + "\", ATTRS{idProduct}==\"" +
            info.UsbId.substr(5) + "\"";
  } else if (info.Driver.size() <= 32 && all(info.Driver, "abcdefghijklmnopqrstuvwxyz0123456789_")) {
    match = "DRIVER==\"" + info.Driver + "\"";
  } else {
    return {};
  }
  // latency_timer appears only once the driver is bound, after the "add" event: "bind" comes then.
  return "ACTION==\"add|bind\", SUBSYSTEM==\"usb-serial\", " + match + ", ATTR{latency_timer}=\"" +
         std::to_string(ms) + "\"";
}

std::vector<std::string> LatencyHints(const std::string& port, const TLatencyFacts& facts) {
  std::vector<std::string> hints;
  if (facts.TimerMs <= 1) return hints;
  hints.push_back(LatencyCostText(port, facts.TimerMs));
  hints.insert(hints.end(), facts.Change.begin(), facts.Change.end());
  return hints;
}
