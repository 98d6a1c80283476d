#ifndef TOOLS_HTTP2PROXYCTL_COMMAND_TABLE_H
#define TOOLS_HTTP2PROXYCTL_COMMAND_TABLE_H

#include <string>
#include <vector>

// The daemon's commands and the words each needs. A known command missing a word, or with a
// date that is not a real YYYY-MM-DD, would get no reply from the daemon (it only logs why), so
// the client refuses it before sending. Unknown words go to the daemon as they are.
class CommandTable {
 public:
  struct Command {
    const char* word;
    int required;       // words after the command word that must be there
    int first_date;     // index (1-based) of the first date word, 0 for none
    int dates;          // how many date words follow it
    const char* usage;  // the usage line
  };

  // The table of the daemon's commands.
  static const std::vector<Command>& Commands();
  // nullptr for a word the table does not know.
  static const Command* Find(const std::string& word);
  // True when `words` (the command word first) may be sent; otherwise *why says what is wrong.
  static bool Check(const std::vector<std::string>& words, std::string* why);
  // A real calendar date written as YYYY-MM-DD.
  static bool IsDate(const std::string& text);
};

#endif  // TOOLS_HTTP2PROXYCTL_COMMAND_TABLE_H
