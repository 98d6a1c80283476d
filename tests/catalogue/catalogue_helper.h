#ifndef TESTS_CATALOGUE_CATALOGUE_HELPER_H
#define TESTS_CATALOGUE_CATALOGUE_HELPER_H

#include <ostream>
#include <string>
#include <utility>
#include <vector>

// One case of a bad-input catalogue file. A file holds cases separated by blank lines; each
// case is "key: value" lines, the first one "case: <name>"; '#' starts a comment line. A key
// may repeat (every "warn:" line is one expected WARN, for instance).
struct CatalogueCase {
  std::string file;
  int line = 0;
  std::string name;
  std::vector<std::pair<std::string, std::string>> fields;

  bool Has(const std::string& key) const;
  // The first value of `key`, or `fallback`.
  std::string Get(const std::string& key, const std::string& fallback = "") const;
  std::vector<std::string> GetAll(const std::string& key) const;
};

// Shown in test names and failure messages.
void PrintTo(const CatalogueCase& c, std::ostream* os);

// The cases of `path`; a malformed file yields one case named "unreadable_<file>" whose only
// field "error" says what is wrong, so that the test fails visibly instead of running nothing.
std::vector<CatalogueCase> ReadCatalogue(const std::string& path);

// A C-style escaped text: \n \r \t \0 \\ \" \xHH.
std::string Unescape(const std::string& text);

// Every occurrence of `from` in `s` becomes `to`.
void Replace(std::string* s, const std::string& from, const std::string& to);

// Bytes from a small expression language, for frames and other binary input:
//   8002 0006 ...        hex bytes, in pairs, blanks anywhere between pairs
//   00*65528             one byte repeated
//   "text"  "text"*N     the bytes of an escaped text, or N times over
//   u16(N) u32(N)        big-endian numbers (decimal)
//   ctrl(TYPE [FLAGS]){...}        a SPDY/2 control frame, length from its payload
//   ctrlv(VER TYPE [FLAGS]){...}   the same with another version
//   data(ID [FLAGS]){...}          a data frame
//   block{"n" "v" ...}   an uncompressed header block of the given name/value texts
//   z{...}               the bytes deflated with the SPDY/2 dictionary; every z{} of one
//                        expression continues one deflate stream, as a session does
// FLAGS are hex. False with `error` set when the expression does not parse.
bool BuildBytes(const std::string& expr, std::string* out, std::string* error);

// Redirects this process's standard error to a file while it lives; Text() is what was written
// so far.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  std::string Text() const;

 private:
  int saved_fd_ = -1;
  std::string path_;
};

// "W/tag(pid): message" lines of a captured text as "tag: message", in order; with
// `priorities`, the lines of each priority letter in it ("WE": warnings and errors).
std::vector<std::string> WarnLines(const std::string& captured, const char* priorities = "W");

// Whether every one of `expected` ("tag: message", where each '*' stands for any run of
// characters: "tag: prefix*" for a prefix) occurs among `lines`, in order. `missing` names the
// first that does not.
bool ContainsInOrder(const std::vector<std::string>& lines,
                     const std::vector<std::string>& expected, std::string* missing);

#endif  // TESTS_CATALOGUE_CATALOGUE_HELPER_H
