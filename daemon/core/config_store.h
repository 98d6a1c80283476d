#ifndef DAEMON_CORE_CONFIG_STORE_H
#define DAEMON_CORE_CONFIG_STORE_H

#include <map>
#include <string>

// Values of an INI-style file, stored under section + kKeySeparator + key.
class ConfigStore {
 public:
  static const char kKeySeparator[];

  ConfigStore() = default;
  virtual ~ConfigStore() = default;

  // The process-wide store; created on first use and never cleared.
  static ConfigStore* Instance();

  // Parses one piece of the file as read by fgets (line end included, if any).
  void ParseLine(const char* line);

  // The stored text, or null (after writing "get_str_value fail" to stdout).
  const char* get_str_value(const char* section, const char* key);
  // The number the stored text starts with, as atoi reads it, or -1 (after writing
  // "get_num_value fail" to stdout).
  int get_num_value(const char* section, const char* key);
  // The stored text, or null; writes nothing.
  const char* find(const char* section, const char* key) const;

  // atoi's reading of `text` (leading blanks, a sign, digits; whatever follows is ignored),
  // but saturated at the int range where atoi's result is undefined, so that 32- and 64-bit
  // builds agree. True when `text` is exactly such a number and within the range.
  static bool ParseNumber(const char* text, int* value);

  const std::string& current_section() const { return section_; }
  size_t size() const { return values_.size(); }

 private:
  std::map<std::string, std::string> values_;
  std::string section_;
};

#endif  // DAEMON_CORE_CONFIG_STORE_H
