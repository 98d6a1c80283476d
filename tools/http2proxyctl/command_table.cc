#include "command_table.h"

const std::vector<CommandTable::Command>& CommandTable::Commands() {
  static const std::vector<Command> commands = {
      {"start", 0, 0, 0, "start"},
      {"stop", 0, 0, 0, "stop"},
      {"set", 1, 0, 0, "set LEVEL"},
      {"sim", 1, 0, 0, "sim SIM"},
      {"deviceid", 1, 0, 0, "deviceid ID"},
      {"query", 3, 1, 2, "query BEGIN END SIM    (dates as YYYY-MM-DD)"},
      {"queryflow", 3, 1, 2, "queryflow BEGIN END SIM    (dates as YYYY-MM-DD)"},
      {"querydetail", 3, 1, 2, "querydetail BEGIN END SIM    (dates as YYYY-MM-DD)"},
      {"querydetailflow", 3, 1, 2, "querydetailflow BEGIN END SIM    (dates as YYYY-MM-DD)"},
      {"updateconfig", 0, 0, 0, "updateconfig [SERVER[:PORT]]"},
      {"status", 0, 0, 0, "status"},
  };
  return commands;
}

const CommandTable::Command* CommandTable::Find(const std::string& word) {
  for (const Command& c : Commands()) {
    if (word == c.word)
      return &c;
  }
  return nullptr;
}

bool CommandTable::Check(const std::vector<std::string>& words, std::string* why) {
  const Command* c = words.empty() ? nullptr : Find(words[0]);
  if (c == nullptr)
    return true;
  const int given = static_cast<int>(words.size()) - 1;
  if (given < c->required) {
    *why = std::string(c->word) + " needs " + std::to_string(c->required) + " word" +
           (c->required == 1 ? "" : "s") + ", got " + std::to_string(given);
    return false;
  }
  for (int i = c->first_date; c->first_date > 0 && i < c->first_date + c->dates; ++i) {
    if (!IsDate(words[static_cast<size_t>(i)])) {
      *why = "\"" + words[static_cast<size_t>(i)] + "\" is not a date (YYYY-MM-DD)";
      return false;
    }
  }
  return true;
}

bool CommandTable::IsDate(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-')
    return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[i] < '0' || text[i] > '9')
      return false;
  }
  const int year = std::stoi(text.substr(0, 4));
  const int month = std::stoi(text.substr(5, 2));
  const int day = std::stoi(text.substr(8, 2));
  if (month < 1 || month > 12 || day < 1)
    return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}
