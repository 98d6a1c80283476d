#include "core/config_store.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Position of the first character of `set` in `s`, or `len` when there is none.
size_t FirstOf(const std::string& s, const char* set) {
  size_t pos = s.find_first_of(set);
  return pos == std::string::npos ? s.size() : pos;
}

}  // namespace

const char ConfigStore::kKeySeparator[] = "___#@#___";

ConfigStore* ConfigStore::Instance() {
  static ConfigStore* store = new ConfigStore();
  return store;
}

void ConfigStore::ParseLine(const char* text) {
  const std::string line(text);

  // A '#' or ';' before any '=' or '[' makes the whole line a comment.
  if (FirstOf(line, "#;") < FirstOf(line, "=["))
    return;

  size_t open = line.find('[');
  size_t close = line.find(']');
  if (open != std::string::npos && close != std::string::npos) {
    // A line with both brackets is a section header, never a key line. "[]" (or a ']' that
    // comes first) names nothing and keeps the current section.
    if (close > open + 1)
      section_ = line.substr(open + 1, close - open - 1);
    return;
  }

  size_t eq = line.find('=');
  if (eq == std::string::npos)
    return;

  size_t key_begin = 0;
  size_t key_end = eq;
  while (key_begin < key_end && IsBlank(line[key_begin]))
    ++key_begin;
  while (key_end > key_begin && IsBlank(line[key_end - 1]))
    --key_end;
  if (key_begin == key_end)
    return;

  size_t value_begin = eq + 1;
  while (value_begin < line.size() && IsBlank(line[value_begin]))
    ++value_begin;
  if (value_begin == line.size())
    return;

  // The first marker of this list found at or after the value ends it, even if a later one in
  // the list would occur earlier in the line.
  size_t value_end = line.size();
  static const char* const kMarkers[] = {" #", " ;", "\t#", "\t;"};
  for (const char* marker : kMarkers) {
    size_t pos = line.find(marker, value_begin);
    if (pos != std::string::npos) {
      value_end = pos;
      break;
    }
  }
  while (value_end > value_begin && IsBlank(line[value_end - 1]))
    --value_end;

  std::string key = section_ + kKeySeparator + line.substr(key_begin, key_end - key_begin);
  values_[key] = line.substr(value_begin, value_end - value_begin);
}

const char* ConfigStore::get_str_value(const char* section, const char* key) {
  auto it = values_.find(std::string(section) + kKeySeparator + key);
  if (it == values_.end()) {
    puts("get_str_value fail");
    return nullptr;
  }
  return it->second.c_str();
}

int ConfigStore::get_num_value(const char* section, const char* key) {
  auto it = values_.find(std::string(section) + kKeySeparator + key);
  if (it == values_.end()) {
    puts("get_num_value fail");
    return -1;
  }
  int value = 0;
  ParseNumber(it->second.c_str(), &value);
  return value;
}

const char* ConfigStore::find(const char* section, const char* key) const {
  auto it = values_.find(std::string(section) + kKeySeparator + key);
  return it == values_.end() ? nullptr : it->second.c_str();
}

bool ConfigStore::ParseNumber(const char* text, int* value) {
  errno = 0;
  char* end = nullptr;
  const long long n = strtoll(text, &end, 10);
  const bool range = errno != ERANGE && n >= INT_MIN && n <= INT_MAX;
  if (range)
    *value = static_cast<int>(n);
  else
    *value = n < 0 ? INT_MIN : INT_MAX;
  return range && end != text && *end == '\0';
}
