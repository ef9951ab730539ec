#include "station/uUsbFlags.h"

#include <algorithm>
#include <cstdio>

#include "station/uForeignJson.h"
#include "station/uText.h"

namespace {

using TJson = TForeignJson;

struct TSetupOutcomeName {
  TSetupOutcome Outcome;
  const char* Name;
};
constexpr TSetupOutcomeName kSetupOutcomeNames[] = {
    {TSetupOutcome::Set, "set"},
    {TSetupOutcome::AlreadySet, "already_set"},
    {TSetupOutcome::Removed, "removed"},
    {TSetupOutcome::NotSet, "not_set"},
    {TSetupOutcome::NotPermitted, "denied"},
    {TSetupOutcome::Failed, "failed"},
};

bool Hex4(const std::string& text, uint16_t& value) {
  if (text.size() != 4) return false;
  value = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return false;
    value = static_cast<uint16_t>(value * 16 + digit);
  }
  return true;
}

}  // namespace

bool ParseUsbId(const std::string& text, TUsbId& id) {
  return text.size() == 9 && text[4] == ':' && Hex4(text.substr(0, 4), id.Vendor) &&
         Hex4(text.substr(5), id.Product);
}

std::string UsbIdText(TUsbId id) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", id.Vendor, id.Product);
  return text;
}

std::string IgnoreSerialValueName(TUsbId id) {
  char text[32];
  std::snprintf(text, sizeof text, "IgnoreHWSerNum%04X%04X", id.Vendor, id.Product);
  return text;
}

std::vector<TSetupResult> ApplyUsbFlags(IUsbFlags& flags, const std::vector<TUsbId>& ids, bool undo,
                                        bool mayElevate, const std::function<void()>& onElevate) {
  std::vector<TSetupResult> results;
  std::vector<size_t> refusedAt;
  std::vector<TUsbId> refused;
  for (const TUsbId& id : ids) {
    TSetupResult r = flags.Apply(id, undo);
    if (r.Outcome == TSetupOutcome::NotPermitted && mayElevate && flags.CanElevate()) {
      refusedAt.push_back(results.size());
      refused.push_back(id);
    }
    results.push_back(std::move(r));
  }
  if (refused.empty()) return results;
  if (onElevate) onElevate();
  // One step for all of them: one prompt.
  const std::vector<TSetupResult> elevated = flags.ApplyElevated(refused, undo);
  for (size_t i = 0; i < refusedAt.size() && i < elevated.size(); ++i) results[refusedAt[i]] = elevated[i];
  return results;
}

int SetupExitCode(const std::vector<TSetupResult>& results) {
  auto any = [&results](TSetupOutcome outcome) {
    return std::any_of(results.begin(), results.end(),
                       [outcome](const TSetupResult& r) { return r.Outcome == outcome; });
  };
  if (any(TSetupOutcome::Failed)) return 1;
  if (any(TSetupOutcome::NotPermitted)) return kExitSetupNotPermitted;
  return 0;
}

std::vector<std::string> SetupResultLines(const std::vector<TSetupResult>& results) {
  std::vector<std::string> lines;
  bool set = false, removed = false;
  for (const TSetupResult& r : results) {
    const std::string head = UsbIdText(r.Id) + ": " + IgnoreSerialValueName(r.Id);
    switch (r.Outcome) {
      case TSetupOutcome::Set:
        lines.push_back(head + " set.");
        set = true;
        break;
      case TSetupOutcome::AlreadySet:
        lines.push_back(head + " was set already.");
        set = true;
        break;
      case TSetupOutcome::Removed:
        lines.push_back(head + " removed.");
        removed = true;
        break;
      case TSetupOutcome::NotSet:
        lines.push_back(head + " was not set: nothing to remove.");
        break;
      case TSetupOutcome::NotPermitted:
      case TSetupOutcome::Failed:
        lines.push_back(head + " not changed.");
        break;
    }
    for (const std::string& note : r.Notes) lines.push_back("  " + TerminalSafe(note));
  }
  if (set) {
    lines.push_back(
        "Windows now takes every device of these USB ids in one socket for one device: one COM port and one "
        "latency timer per socket, whichever logger is plugged in.");
    lines.push_back(
        "It applies to devices enumerated from now on: each socket takes it from the next logger plugged in "
        "there (one plugged in now keeps its COM port until it is plugged in again).");
    lines.push_back(
        "Then set each socket's latency timer to 1 ms once (pellory-cli latency PORT --set 1, or \"Speed up "
        "adapters\" in the station window): it stays for every logger plugged there.");
    lines.push_back("Undo with: pellory-cli station-setup --undo");
  }
  if (removed) {
    lines.push_back(
        "Devices of these USB ids are told apart by their serial numbers again, from the next one plugged "
        "in.");
  }
  return lines;
}

std::string SetupResultsJson(const std::vector<TSetupResult>& results) {
  TJson array = TJson::array();
  for (const TSetupResult& r : results) {
    const char* outcome = "failed";
    for (const TSetupOutcomeName& n : kSetupOutcomeNames) {
      if (n.Outcome == r.Outcome) outcome = n.Name;
    }
    array.push_back({{"vid_pid", UsbIdText(r.Id)},
                     {"value", IgnoreSerialValueName(r.Id)},
                     {"outcome", outcome},
                     {"notes", r.Notes}});
  }
  // Notes carry the system's texts: bytes that are not UTF-8 are replaced rather than fail.
  return ForeignArrayText(array);
}

bool ParseSetupResults(const std::string& text, std::vector<TSetupResult>& results) {
  results.clear();
  return ReadForeignArray(text, [&results](const TJson& item) {
    TSetupResult r;
    std::string id, outcome;
    if (!ReadForeignText(item, "vid_pid", id) || !ParseUsbId(id, r.Id) ||
        !ReadForeignText(item, "outcome", outcome) || !ReadForeignNotes(item, r.Notes)) {
      return false;
    }
    const auto known = std::find_if(std::begin(kSetupOutcomeNames), std::end(kSetupOutcomeNames),
                                    [&](const TSetupOutcomeName& n) { return outcome == n.Name; });
    if (known == std::end(kSetupOutcomeNames)) return false;
    r.Outcome = known->Outcome;
    results.push_back(std::move(r));
    return true;
  });
}
