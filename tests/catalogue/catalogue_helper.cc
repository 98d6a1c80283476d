#include "catalogue/catalogue_helper.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "spdy/spdy_dictionary.h"

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r'))
    ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
    --e;
  return s.substr(b, e - b);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

void PutU16(std::string* out, unsigned v) {
  out->push_back(static_cast<char>((v >> 8) & 0xff));
  out->push_back(static_cast<char>(v & 0xff));
}

void PutU32(std::string* out, unsigned long v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out->push_back(static_cast<char>((v >> shift) & 0xff));
}

// Recursive descent over the byte expression; one deflate stream for all z{} of it.
class ByteParser {
 public:
  explicit ByteParser(const std::string& text) : s_(text) {}
  ~ByteParser() {
    if (deflating_)
      deflateEnd(&z_);
  }

  bool Parse(std::string* out, std::string* error) {
    const bool ok = Sequence(out, false) && at_ == s_.size();
    if (!ok)
      *error = error_.empty() ? "unexpected '" + s_.substr(at_, 20) + "' at " + std::to_string(at_)
                              : error_;
    return ok;
  }

 private:
  void Blanks() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n'))
      ++at_;
  }
  bool Keyword(const char* word) {
    const size_t n = strlen(word);
    if (s_.compare(at_, n, word) != 0)
      return false;
    at_ += n;
    return true;
  }
  bool Fail(const std::string& why) {
    if (error_.empty())
      error_ = why + " at " + std::to_string(at_);
    return false;
  }
  // Numbers inside (...): decimal, or hex when `hex`.
  bool Number(unsigned long* v, bool hex) {
    Blanks();
    const char* start = s_.c_str() + at_;
    char* end = nullptr;
    *v = strtoul(start, &end, hex ? 16 : 10);
    if (end == start)
      return Fail("number expected");
    at_ += static_cast<size_t>(end - start);
    return true;
  }
  bool Args(std::vector<unsigned long>* args, size_t min, size_t max, size_t hex_from) {
    args->clear();
    for (;;) {
      Blanks();
      if (at_ < s_.size() && s_[at_] == ')') {
        ++at_;
        break;
      }
      unsigned long v;
      if (!Number(&v, args->size() >= hex_from))
        return false;
      args->push_back(v);
    }
    if (args->size() < min || args->size() > max)
      return Fail("wrong number of arguments");
    return true;
  }
  bool Braced(std::string* inner) {
    Blanks();
    if (at_ >= s_.size() || s_[at_] != '{')
      return Fail("'{' expected");
    ++at_;
    if (!Sequence(inner, true))
      return false;
    if (at_ >= s_.size() || s_[at_] != '}')
      return Fail("'}' expected");
    ++at_;
    return true;
  }
  bool Quoted(std::string* out) {
    ++at_;
    std::string raw;
    while (at_ < s_.size() && s_[at_] != '"') {
      if (s_[at_] == '\\' && at_ + 1 < s_.size())
        raw += s_[at_++];
      raw += s_[at_++];
    }
    if (at_ >= s_.size())
      return Fail("unclosed text");
    ++at_;
    unsigned long times = 1;
    if (at_ < s_.size() && s_[at_] == '*') {
      ++at_;
      if (!Number(&times, false))
        return false;
    }
    const std::string text = Unescape(raw);
    for (unsigned long i = 0; i < times; ++i)
      *out += text;
    return true;
  }
  bool Frame(std::string* out, bool control, bool versioned) {
    std::vector<unsigned long> a;
    if (control && versioned) {
      if (!Args(&a, 2, 3, 2))
        return false;
    } else if (!Args(&a, 1, 2, 1)) {
      return false;
    }
    std::string payload;
    if (!Braced(&payload))
      return false;
    unsigned long version = 2, type = 0, flags = 0;
    if (control && versioned) {
      version = a[0];
      type = a[1];
      flags = a.size() > 2 ? a[2] : 0;
    } else {
      type = a[0];
      flags = a.size() > 1 ? a[1] : 0;
    }
    if (control) {
      PutU16(out, 0x8000 | (version & 0x7fff));
      PutU16(out, static_cast<unsigned>(type));
    } else {
      PutU32(out, type & 0x7fffffff);
    }
    PutU32(out, (flags & 0xff) << 24 | (payload.size() & 0xffffff));
    *out += payload;
    return true;
  }
  bool Block(std::string* out) {
    std::string items;
    std::vector<std::string> texts;
    Blanks();
    if (at_ >= s_.size() || s_[at_] != '{')
      return Fail("'{' expected");
    ++at_;
    for (;;) {
      Blanks();
      if (at_ < s_.size() && s_[at_] == '}') {
        ++at_;
        break;
      }
      if (at_ >= s_.size() || s_[at_] != '"')
        return Fail("text expected in block{}");
      std::string t;
      if (!Quoted(&t))
        return false;
      texts.push_back(t);
    }
    if (texts.size() % 2 != 0)
      return Fail("block{} needs name and value pairs");
    PutU16(out, static_cast<unsigned>(texts.size() / 2));
    for (const std::string& t : texts) {
      PutU16(out, static_cast<unsigned>(t.size()));
      *out += t;
    }
    return true;
  }
  bool Deflated(std::string* out) {
    std::string plain;
    if (!Braced(&plain))
      return false;
    if (!deflating_) {
      memset(&z_, 0, sizeof(z_));
      if (deflateInit2(&z_, 9, Z_DEFLATED, 11, 1, Z_DEFAULT_STRATEGY) != Z_OK ||
          deflateSetDictionary(&z_, reinterpret_cast<const Bytef*>(kSpdyDictionary),
                               kSpdyDictionarySize) != Z_OK)
        return Fail("zlib");
      deflating_ = true;
    }
    std::string buf(plain.size() + 64 + plain.size() / 8, '\0');
    z_.next_in = reinterpret_cast<Bytef*>(&plain[0]);
    z_.avail_in = static_cast<uInt>(plain.size());
    z_.next_out = reinterpret_cast<Bytef*>(&buf[0]);
    z_.avail_out = static_cast<uInt>(buf.size());
    if (deflate(&z_, Z_SYNC_FLUSH) != Z_OK || z_.avail_in != 0)
      return Fail("deflate");
    out->append(buf.data(), buf.size() - z_.avail_out);
    return true;
  }
  bool Sequence(std::string* out, bool braced) {
    for (;;) {
      Blanks();
      if (at_ >= s_.size())
        return !braced || Fail("'}' expected");
      const char c = s_[at_];
      if (c == '}')
        return braced || Fail("unbalanced '}'");
      std::vector<unsigned long> a;
      if (c == '"') {
        if (!Quoted(out))
          return false;
      } else if (Keyword("ctrlv(")) {
        if (!Frame(out, true, true))
          return false;
      } else if (Keyword("ctrl(")) {
        if (!Frame(out, true, false))
          return false;
      } else if (Keyword("data(")) {
        if (!Frame(out, false, false))
          return false;
      } else if (Keyword("u16(")) {
        if (!Args(&a, 1, 1, 1))
          return false;
        PutU16(out, static_cast<unsigned>(a[0]));
      } else if (Keyword("u32(")) {
        if (!Args(&a, 1, 1, 1))
          return false;
        PutU32(out, a[0]);
      } else if (Keyword("block")) {
        if (!Block(out))
          return false;
      } else if (Keyword("z")) {
        if (!Deflated(out))
          return false;
      } else if (HexValue(c) >= 0 && at_ + 1 < s_.size() && HexValue(s_[at_ + 1]) >= 0) {
        const char byte = static_cast<char>(HexValue(c) * 16 + HexValue(s_[at_ + 1]));
        at_ += 2;
        if (at_ < s_.size() && s_[at_] == '*') {
          ++at_;
          unsigned long n;
          if (!Number(&n, false))
            return false;
          out->append(n, byte);
        } else {
          out->push_back(byte);
        }
      } else {
        return Fail("unexpected '" + std::string(1, c) + "'");
      }
    }
  }

  const std::string& s_;
  size_t at_ = 0;
  std::string error_;
  z_stream z_;
  bool deflating_ = false;
};

}  // namespace

bool CatalogueCase::Has(const std::string& key) const {
  for (const auto& f : fields)
    if (f.first == key)
      return true;
  return false;
}

std::string CatalogueCase::Get(const std::string& key, const std::string& fallback) const {
  for (const auto& f : fields)
    if (f.first == key)
      return f.second;
  return fallback;
}

std::vector<std::string> CatalogueCase::GetAll(const std::string& key) const {
  std::vector<std::string> out;
  for (const auto& f : fields)
    if (f.first == key)
      out.push_back(f.second);
  return out;
}

void PrintTo(const CatalogueCase& c, std::ostream* os) {
  *os << c.name << " (" << c.file << ":" << c.line << ")";
}

std::vector<CatalogueCase> ReadCatalogue(const std::string& path) {
  std::vector<CatalogueCase> cases;
  const std::string base = path.substr(path.rfind('/') + 1);
  auto unreadable = [&](const std::string& why) {
    CatalogueCase bad;
    bad.file = base;
    bad.name = "unreadable_" + base.substr(0, base.find('.'));
    bad.fields.push_back({"error", why});
    return std::vector<CatalogueCase>{bad};
  };
  std::ifstream in(path);
  if (!in)
    return unreadable("can't open " + path);
  CatalogueCase current;
  bool open = false;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string trimmed = Trim(line);
    if (!trimmed.empty() && trimmed[0] == '#')
      continue;
    if (trimmed.empty()) {
      if (open)
        cases.push_back(current);
      open = false;
      continue;
    }
    const size_t colon = trimmed.find(':');
    if (colon == std::string::npos)
      return unreadable(base + ":" + std::to_string(number) + ": no \"key:\"");
    const std::string key = Trim(trimmed.substr(0, colon));
    const std::string value = Trim(trimmed.substr(colon + 1));
    if (!open) {
      if (key != "case")
        return unreadable(base + ":" + std::to_string(number) + ": a case starts with \"case:\"");
      current = CatalogueCase();
      current.file = base;
      current.line = number;
      current.name = value;
      for (const CatalogueCase& c : cases) {
        if (c.name == value)
          return unreadable(base + ":" + std::to_string(number) + ": case " + value + " twice");
      }
      open = true;
      continue;
    }
    current.fields.push_back({key, value});
  }
  if (open)
    cases.push_back(current);
  if (cases.empty())
    return unreadable(base + ": no cases");
  return cases;
}

void Replace(std::string* s, const std::string& from, const std::string& to) {
  for (size_t at; (at = s->find(from)) != std::string::npos;)
    s->replace(at, from.size(), to);
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    switch (c) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '0':
        out += '\0';
        break;
      case 'x':
        if (i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
          out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
          i += 2;
        } else {
          out += "\\x";
        }
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool BuildBytes(const std::string& expr, std::string* out, std::string* error) {
  out->clear();
  ByteParser parser(expr);
  return parser.Parse(out, error);
}

StderrCapture::StderrCapture() {
  char name[] = "/tmp/qv_catalogue_log_XXXXXX";
  const int fd = mkostemp(name, O_CLOEXEC);
  if (fd < 0)
    return;
  path_ = name;
  fflush(stderr);
  saved_fd_ = dup(STDERR_FILENO);
  dup2(fd, STDERR_FILENO);
  close(fd);
}

StderrCapture::~StderrCapture() {
  if (saved_fd_ >= 0) {
    fflush(stderr);
    dup2(saved_fd_, STDERR_FILENO);
    close(saved_fd_);
  }
  if (!path_.empty())
    unlink(path_.c_str());
}

std::string StderrCapture::Text() const {
  fflush(stderr);
  std::ifstream in(path_, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> WarnLines(const std::string& captured, const char* priorities) {
  std::vector<std::string> out;
  std::istringstream in(captured);
  for (std::string line; std::getline(in, line);) {
    if (line.size() < 2 || line[1] != '/' || strchr(priorities, line[0]) == nullptr)
      continue;
    const size_t open = line.find('(');
    const size_t close = line.find("): ", open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos)
      continue;
    out.push_back(line.substr(2, open - 2) + ": " + line.substr(close + 3));
  }
  return out;
}

namespace {

// `text` matches `pattern`, where each '*' stands for any run of characters.
bool Matches(const char* text, const char* pattern) {
  if (*pattern == '\0')
    return *text == '\0';
  if (*pattern == '*') {
    for (const char* t = text;; ++t) {
      if (Matches(t, pattern + 1))
        return true;
      if (*t == '\0')
        return false;
    }
  }
  return *text == *pattern && Matches(text + 1, pattern + 1);
}

}  // namespace

bool ContainsInOrder(const std::vector<std::string>& lines,
                     const std::vector<std::string>& expected, std::string* missing) {
  size_t at = 0;
  for (const std::string& want : expected) {
    bool found = false;
    for (; at < lines.size() && !found; ++at)
      found = Matches(lines[at].c_str(), want.c_str());
    if (!found) {
      *missing = want;
      return false;
    }
  }
  return true;
}
