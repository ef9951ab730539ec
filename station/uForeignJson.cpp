#include "station/uForeignJson.h"

#include "station/uText.h"

bool ReadForeignArray(const std::string& text, const std::function<bool(const TForeignJson& item)>& read) {
  if (text.size() > (1u << 20)) return false;
  const TForeignJson array = TForeignJson::parse(text, nullptr, false);
  if (!array.is_array() || array.size() > 256) return false;
  for (const TForeignJson& item : array) {
    if (!item.is_object() || !read(item)) return false;
  }
  return true;
}

bool ReadForeignText(const TForeignJson& object, const char* key, std::string& text) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string() || it->get_ref<const std::string&>().size() > 4096) return false;
  text = it->get<std::string>();
  return true;
}

bool ReadForeignNotes(const TForeignJson& object, std::vector<std::string>& notes) {
  const auto it = object.find("notes");
  if (it == object.end()) return true;
  if (!it->is_array() || it->size() > 64) return false;
  for (const TForeignJson& note : *it) {
    if (!note.is_string() || note.get_ref<const std::string&>().size() > 4096) return false;
    notes.push_back(note.get<std::string>());
  }
  return true;
}

std::string ForeignArrayText(const TForeignJson& array) {
  return JsonTerminalSafe(array.dump(2, ' ', false, TForeignJson::error_handler_t::replace)) + "\n";
}
