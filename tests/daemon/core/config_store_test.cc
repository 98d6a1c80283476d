#include "core/config_store.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class ConfigStoreTest : public testing::Test {
 protected:
  // Parses each line and returns what the lookups wrote to standard output.
  void Parse(std::initializer_list<const char*> lines) {
    for (const char* line : lines)
      store_.ParseLine(line);
  }
  std::string Str(const char* section, const char* key) {
    testing::internal::CaptureStdout();
    const char* v = store_.get_str_value(section, key);
    fflush(stdout);
    last_out_ = testing::internal::GetCapturedStdout();
    return v == nullptr ? "<null>" : v;
  }
  std::string Value(const char* key) { return Str("s", key); }

  ConfigStore store_;
  std::string last_out_;
};

TEST_F(ConfigStoreTest, SectionsAndCompoundKeys) {
  Parse({"[s]\n", "A=1\n", "[]\n", "B = two words \r\n", "[ s ]\n", "A=3\n"});
  EXPECT_EQ("1", Value("A"));
  EXPECT_EQ("two words", Value("B"));  // "[]" kept the section
  EXPECT_EQ("3", Str(" s ", "A"));     // names are not trimmed
  EXPECT_EQ("<null>", Str("", "A"));
  EXPECT_EQ("get_str_value fail\n", last_out_);
  EXPECT_EQ("", (Value("A"), last_out_));
  EXPECT_EQ(" s ", store_.current_section());
}

TEST_F(ConfigStoreTest, NumbersAndMissingKeys) {
  Parse({"[s]\n", "N=42\n", "M=-1\n", "T=abc\n"});
  testing::internal::CaptureStdout();
  EXPECT_EQ(42, store_.get_num_value("s", "N"));
  EXPECT_EQ(-1, store_.get_num_value("s", "M"));
  EXPECT_EQ(0, store_.get_num_value("s", "T"));
  EXPECT_EQ(-1, store_.get_num_value("s", "X"));
  fflush(stdout);
  EXPECT_EQ("get_num_value fail\n", testing::internal::GetCapturedStdout());
}

TEST_F(ConfigStoreTest, CommentLinesEvenWithEquals) {
  Parse({"[s]\n", "# A=1\n", "; B=2\n", "  #C=3\n", "D=4 # E=5\n", "F;=6\n"});
  EXPECT_EQ("<null>", Value("A"));
  EXPECT_EQ("<null>", Value("B"));
  EXPECT_EQ("<null>", Value("C"));
  EXPECT_EQ("4", Value("D"));
  EXPECT_EQ("<null>", Value("E"));
  EXPECT_EQ("<null>", Value("F;"));  // ';' before '=' makes it a comment
}

TEST_F(ConfigStoreTest, InlineCommentMarkers) {
  Parse({"[s]\n", "A=a#b\n", "B=a #b\n", "C=a\t;b\n", "D=a ;b #c\n",
         // " ;" is tried before "\t#", so it wins although the tab-hash comes first.
         "E=a\t#b ;c\n", "F=x;y\n", "G=  # only comment\n"});
  EXPECT_EQ("a#b", Value("A"));
  EXPECT_EQ("a", Value("B"));
  EXPECT_EQ("a", Value("C"));
  EXPECT_EQ("a ;b", Value("D"));  // " #" is looked for first and ends the value
  EXPECT_EQ("a\t#b", Value("E"));
  EXPECT_EQ("x;y", Value("F"));
  // The value starts at '#': the marker search begins there, finds nothing, keeps it.
  EXPECT_EQ("# only comment", Value("G"));
}

TEST_F(ConfigStoreTest, ValueWithBracketsIsASectionHeader) {
  Parse({"[s]\n", "A=x[y]z\n", "B=1\n"});
  EXPECT_EQ("<null>", Value("A"));
  EXPECT_EQ("<null>", Value("B"));
  EXPECT_EQ("1", Str("y", "B"));
}

TEST_F(ConfigStoreTest, ClosingBracketBeforeOpeningKeepsSection) {
  Parse({"[s]\n", "A=]x[\n", "B=1\n"});
  EXPECT_EQ("<null>", Value("A"));
  EXPECT_EQ("1", Value("B"));
}

TEST_F(ConfigStoreTest, IgnoredKeyLines) {
  Parse({"[s]\n", "=5\n", " \t=5\n", "A=\n", "B=  \t\r\n", "no equals here\n", "C\n"});
  EXPECT_EQ(0u, store_.size());
}

TEST_F(ConfigStoreTest, LaterDuplicateWins) {
  Parse({"[s]\n", "A=1\n", "[t]\n", "A=2\n", "[s]\n", "A=3\n"});
  EXPECT_EQ("3", Value("A"));
  EXPECT_EQ("2", Str("t", "A"));
}

TEST_F(ConfigStoreTest, ValueKeepsInnerEqualsAndBlanks) {
  Parse({"[s]\n", "A = b = c  d \n", "B\t=\tv\n"});
  EXPECT_EQ("b = c  d", Value("A"));
  EXPECT_EQ("v", Value("B"));
}

}  // namespace
