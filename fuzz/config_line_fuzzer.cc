// Feeds arbitrary text to the configuration line parser, one fgets-sized piece per line, and
// checks the stored values against the parser's own rules.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "core/config_store.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "config line check failed: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ConfigStore store;
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t pos = 0;
  while (pos < text.size()) {
    // Pieces as fgets would hand them over: up to a line end, at most 1024 bytes.
    size_t end = text.find('\n', pos);
    end = end == std::string::npos ? text.size() : end + 1;
    if (end - pos > 1024)
      end = pos + 1024;
    std::string piece = text.substr(pos, end - pos);
    pos = end;

    std::string before_section = store.current_section();
    size_t before_size = store.size();
    store.ParseLine(piece.c_str());
    std::string line(piece.c_str());  // the parser sees the text up to a NUL

    size_t eq = line.find('=');
    size_t comment = line.find_first_of("#;");
    size_t opener = line.find_first_of("=[");
    bool is_comment =
        comment != std::string::npos && (opener == std::string::npos || comment < opener);
    bool brackets = line.find('[') != std::string::npos && line.find(']') != std::string::npos;
    if (is_comment || brackets || eq == std::string::npos) {
      Check(store.size() == before_size, "a non-key line stored a value");
    }
    if (!brackets || is_comment) {
      Check(store.current_section() == before_section, "section changed without a header");
    }
    if (!is_comment && !brackets && eq != std::string::npos && store.size() > before_size) {
      // A new key: its value is non-empty and trimmed at the end.
      std::string key = line.substr(0, eq);
      size_t b = key.find_first_not_of(" \t\n\r");
      size_t e = key.find_last_not_of(" \t\n\r");
      Check(b != std::string::npos, "empty key stored");
      key = key.substr(b, e - b + 1);
      fflush(stdout);
      const char* value = store.get_str_value(before_section.c_str(), key.c_str());
      Check(value != nullptr, "stored key not found");
      size_t len = strlen(value);
      Check(len > 0 && !IsBlank(value[0]) && !IsBlank(value[len - 1]), "value not trimmed");
      Check(line.find(value, eq) != std::string::npos, "value is not a part of the line");
    }
  }
  return 0;
}
