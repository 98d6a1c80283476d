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
  // atoi of the stored text, or -1 (after writing "get_num_value fail" to stdout).
  int get_num_value(const char* section, const char* key);

  const std::string& current_section() const { return section_; }
  size_t size() const { return values_.size(); }

 private:
  std::map<std::string, std::string> values_;
  std::string section_;
};

#endif  // DAEMON_CORE_CONFIG_STORE_H
