// Comma-separated records: quoting on the way out, and reading back what
// people's editors write (quotes, line breaks inside fields, CRLF or LF,
// a byte order mark, comments).
#include <gtest/gtest.h>

#include "protocol/csv.h"

namespace {

std::vector<std::vector<std::string>> fields_of(const std::vector<CsvRecord>& records) {
  std::vector<std::vector<std::string>> out;
  for (const CsvRecord& r : records) out.push_back(r.fields);
  return out;
}

TEST(Csv, WrittenFieldsReadBackUnchanged) {
  const std::vector<std::string> fields = {"plain", "", "a,b", "say \"hi\"", "two\r\nlines", " x "};
  const std::string text = csv_record(fields) + csv_record({"end"});
  EXPECT_EQ(text, "plain,,\"a,b\",\"say \"\"hi\"\"\",\"two\r\nlines\", x \r\nend\r\n");
  std::vector<CsvRecord> records;
  ASSERT_TRUE(read_csv(text, false, &records, nullptr));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].fields, fields);
  EXPECT_EQ(records[1].line, 3);  // the quoted line break counts
}

TEST(Csv, BlankAndCommentLinesAndLineNumbers) {
  std::vector<CsvRecord> records;
  ASSERT_TRUE(read_csv("\xEF\xBB\xBFip,user\n\n# a comment, with \"quote\n10.0.0.1\r\n\r\n10.0.0.2,,",
                       true, &records, nullptr));
  EXPECT_EQ(fields_of(records), (std::vector<std::vector<std::string>>{
                                    {"ip", "user"}, {"10.0.0.1"}, {"10.0.0.2", "", ""}}));
  EXPECT_EQ(records[1].line, 4);
  EXPECT_EQ(records[2].line, 6);
  // Without comments a '#' line is data.
  records.clear();
  ASSERT_TRUE(read_csv("#x\n", false, &records, nullptr));
  EXPECT_EQ(fields_of(records), (std::vector<std::vector<std::string>>{{"#x"}}));
}

// LF, CRLF and a CR alone each end a line, in one file too; a break inside
// quotes is kept as written and counted once.
TEST(Csv, EveryLineEndCountsOnce) {
  std::vector<CsvRecord> records;
  ASSERT_TRUE(read_csv("a\rb\r\n\r# note\rc,\"x\ry\r\nz\"\nd", true, &records, nullptr));
  EXPECT_EQ(fields_of(records), (std::vector<std::vector<std::string>>{
                                    {"a"}, {"b"}, {"c", "x\ry\r\nz"}, {"d"}}));
  std::vector<int> lines;
  for (const CsvRecord& r : records) lines.push_back(r.line);
  EXPECT_EQ(lines, (std::vector<int>{1, 2, 5, 8}));
}

TEST(Csv, UnclosedQuoteKeepsEarlierRecords) {
  std::vector<CsvRecord> records;
  int bad = 0;
  EXPECT_FALSE(read_csv("a\nb\n\"c,\nd\n", false, &records, &bad));
  EXPECT_EQ(bad, 3);
  EXPECT_EQ(fields_of(records), (std::vector<std::vector<std::string>>{{"a"}, {"b"}}));
}

// Text from outside the program never starts a cell as a formula would:
// exactly the six leading characters get the quote, nothing else does.
TEST(Csv, OutsideTextThatCouldBeAFormulaGetsALeadingQuote) {
  struct Case {
    const char* value;
    const char* cell;
  } cases[] = {
      {"=HYPERLINK(\"http://x\",\"y\")", "'=HYPERLINK(\"http://x\",\"y\")"},
      {"+1", "'+1"},
      {"-2+3", "'-2+3"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"\tx", "'\tx"},
      {"\rx", "'\rx"},
      {"", ""},
      {"x=1", "x=1"},
      {" =1", " =1"},
      {"'=1", "''=1"},  // its own quote is guarded too: read back, it stays
      {"'", "''"},
      {"'x", "''x"},
      {"\n=1", "\n=1"},
      {"%1", "%1"},
      {"admin", "admin"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(csv_outside_text(c.value), c.cell) << c.value;
    EXPECT_EQ(csv_outside_text_read(c.cell), c.value) << c.cell;
  }
  // A cell of another writer that begins with ' and no formula keeps it.
  EXPECT_EQ(csv_outside_text_read("'x"), "'x");
  EXPECT_EQ(csv_record({csv_outside_text("=1,2")}), "\"'=1,2\"\r\n");
}

// Each character that needs quotes gets them alone; nothing else does.
TEST(Csv, QuotedOnlyWhenNeeded) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"10.69.0.5", "10.69.0.5"},
      {" spaced ", " spaced "},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"\"", "\"\"\"\""},
      {"cr\r", "\"cr\r\""},
      {"lf\n", "\"lf\n\""},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
  };
  for (const auto& [value, written] : cases) {
    EXPECT_EQ(csv_field(value), written);
    std::vector<CsvRecord> records;
    ASSERT_TRUE(read_csv(csv_record({value, "next"}), false, &records, nullptr)) << value;
    ASSERT_EQ(records.size(), 1u) << value;
    EXPECT_EQ(records[0].fields, (std::vector<std::string>{value, "next"}));
  }
  EXPECT_EQ(csv_record({}), "\r\n");
  EXPECT_EQ(csv_record({"a", "", ""}), "a,,\r\n");
}

// Record and line numbers with LF or CRLF ends, line breaks inside quotes,
// a comment at the very end and a byte order mark only at the start.
TEST(Csv, RecordsAndTheirLines) {
  struct Case {
    std::string text;
    std::vector<std::vector<std::string>> fields;
    std::vector<int> lines;
  };
  const Case cases[] = {
      {"a\nb", {{"a"}, {"b"}}, {1, 2}},
      {"a\r\nb\r\n", {{"a"}, {"b"}}, {1, 2}},
      {"\"x\r\ny\",1\n\"p\nq\nr\"\nz", {{"x\r\ny", "1"}, {"p\nq\nr"}, {"z"}}, {1, 3, 6}},
      {"\n\n\r\na", {{"a"}}, {4}},
      {"a\n# last", {{"a"}}, {1}},
      {"# one\r\n# two\r\nb", {{"b"}}, {3}},
      {"a,\xEF\xBB\xBF", {{"a", "\xEF\xBB\xBF"}}, {1}},
      {"\xEF\xBB\xBF#c\nv", {{"v"}}, {2}},
  };
  for (const Case& c : cases) {
    std::vector<CsvRecord> records;
    ASSERT_TRUE(read_csv(c.text, true, &records, nullptr)) << c.text;
    EXPECT_EQ(fields_of(records), c.fields) << c.text;
    std::vector<int> lines;
    for (const CsvRecord& r : records) lines.push_back(r.line);
    EXPECT_EQ(lines, c.lines) << c.text;
  }
}

TEST(Csv, UnclosedQuoteIsWhereItOpened) {
  const std::pair<std::string, int> cases[] = {
      {"\"", 1}, {"a,\"b", 1}, {"a\r\n\r\nb,\"c\nd\ne", 3}, {"\"a\"\"\n", 1}};
  for (const auto& [text, line] : cases) {
    std::vector<CsvRecord> records;
    int bad = 0;
    EXPECT_FALSE(read_csv(text, false, &records, &bad)) << text;
    EXPECT_EQ(bad, line) << text;
  }
  // A closed quote at the very end is whole.
  std::vector<CsvRecord> records;
  EXPECT_TRUE(read_csv("a,\"b\"", false, &records, nullptr));
  EXPECT_EQ(fields_of(records), (std::vector<std::vector<std::string>>{{"a", "b"}}));
}

}  // namespace
