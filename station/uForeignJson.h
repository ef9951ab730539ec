// Results files and helpers' JSON read back as foreign input (the elevated step's file, a helper's output):
// the shape every such array shares, checked in one place.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

using TForeignJson = nlohmann::ordered_json;

// Calls `read` for each object of the JSON array `text`. False for anything but an array of at most 256
// objects in at most 1 MiB of text, and as soon as `read` refuses one.
bool ReadForeignArray(const std::string& text, const std::function<bool(const TForeignJson& item)>& read);
// The object's `key` as a text of at most 4096 bytes; absent or null is empty, anything else refused.
bool ReadForeignText(const TForeignJson& object, const char* key, std::string& text);
// The object's "notes": at most 64 such texts; absent is none.
bool ReadForeignNotes(const TForeignJson& object, std::vector<std::string>& notes);
// `array` as the text such a reader takes, terminal-safe; texts that are not UTF-8 are replaced.
std::string ForeignArrayText(const TForeignJson& array);
