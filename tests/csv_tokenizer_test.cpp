// The utility layer's CSV tokenizer: loading, row splitting, header lookup and typed fields.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quotelab/utilcore.h"

namespace {

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

// Owns the handles a test opens and reads rows out of them.
class CsvTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (csv_file* h : handles_) csv_close(h);
  }

  csv_file* keep(csv_file* h) {
    if (h) handles_.push_back(h);
    return h;
  }
  csv_file* open(const std::string& text, char delimiter = ',') {
    return keep(csv_open_mem(text.data(), text.size(), delimiter, 0));
  }

  static Rows all_rows(csv_file* h) {
    Rows rows;
    while (csv_next(h) == 0) {
      rows.emplace_back();
      for (int i = 0; i < csv_field_count(h); ++i) {
        int len = -1;
        const char* text = csv_get_field(h, i, &len);
        rows.back().emplace_back(text, static_cast<size_t>(len));
      }
    }
    return rows;
  }
  static Row header(csv_file* h) {
    Row names;
    for (int i = 0; i < csv_column_count(h); ++i) names.emplace_back(csv_column_name(h, i));
    return names;
  }

  static std::string temp_path(const char* name) {
    return "/tmp/ql_csv_" + std::to_string(getpid()) + "_" + name;
  }

 private:
  std::vector<csv_file*> handles_;
};

TEST_F(CsvTest, OpensFilesAndRefusesWhatCannotBeRead) {
  const std::string path = temp_path("disk.csv");
  std::ofstream(path, std::ios::binary) << "symbol,price\n600000.SH,10.5\n";
  csv_file* h = keep(csv_open(path.c_str(), ',', 0));
  unlink(path.c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(header(h), (Row{"symbol", "price"}));
  EXPECT_EQ(all_rows(h), (Rows{{"600000.SH", "10.5"}}));

  EXPECT_EQ(csv_open(path.c_str(), ',', 0), nullptr);  // gone
  EXPECT_EQ(csv_open("/tmp", ',', 0), nullptr);        // a directory
  EXPECT_EQ(csv_open(nullptr, ',', 0), nullptr);
  EXPECT_EQ(csv_open_mem(nullptr, 3, ',', 0), nullptr);
  const std::string text = "a,b\n1,2\n";
  for (char bad_delimiter : {'"', '\n', '\r'})
    EXPECT_EQ(csv_open_mem(text.data(), text.size(), bad_delimiter, 0), nullptr);
  EXPECT_EQ(csv_open_mem(text.data(), text.size(), ',', 1), nullptr);
  for (const char* no_header : {"", "\xEF\xBB\xBF", "\n\r\n  \n\t\n"})
    EXPECT_EQ(open(no_header), nullptr) << no_header;

  std::string copied = text;  // the handle keeps its own copy
  csv_file* m = open(copied);
  copied.assign(copied.size(), 'x');
  EXPECT_EQ(all_rows(m), (Rows{{"1", "2"}}));
}

// A FIFO has no size up front: the reader must grow its block while reading.
TEST_F(CsvTest, ReadsStreamsOfUnknownSize) {
  const std::string path = temp_path("fifo.csv");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  const int rows = 20000;  // about 300 KB, several growth steps
  std::thread writer([&] {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    fputs("n,text\n", f);
    for (int i = 0; i < rows; ++i) fprintf(f, "%d,row-%08d\n", i, i);
    fclose(f);
  });
  csv_file* h = keep(csv_open(path.c_str(), ',', 0));
  writer.join();
  unlink(path.c_str());
  ASSERT_NE(h, nullptr);
  int n = 0;
  while (csv_next(h) == 0) ASSERT_EQ(csv_get_int32_byidx(h, 0), n++);
  EXPECT_EQ(n, rows);
}

// Awkward texts the random tables below do not produce. (CRLF, quoted delimiters, line ends and
// doubled quotes, other delimiters and a missing final line end are theirs.)
TEST_F(CsvTest, SplitsAwkwardRows) {
  const struct {
    const char* what;
    std::string text;
    Row header;
    Rows rows;
    char delimiter = ',';
  } cases[] = {
      {"byte-order mark", "\xEF\xBB\xBFsymbol,price\nA,1\n", {"symbol", "price"}, {{"A", "1"}}},
      {"CR inside a row", "a,b\nx\ry,z\n", {"a", "b"}, {{"x\ry", "z"}}},
      // A quote inside an unquoted field is text; text after a closing quote is kept; an
      // unterminated quote takes the rest of the data.
      {"stray quotes",
       "a,b,c\n5'3\",x\"y,\"ab\"cd\n1,\"open,\nend",
       {"a", "b", "c"},
       {{"5'3\"", "x\"y", "abcd"}, {"1", "open,\nend"}}},
      {"empty and missing fields",
       "a,b,c\n1,,3\n4\n,,\n",
       {"a", "b", "c"},
       {{"1", "", "3"}, {"4"}, {"", "", ""}}},
      {"header only", "a,b", {"a", "b"}, {}},
      // A line of delimiters is a row of empty fields, not a blank line.
      {"space delimiter",
       "S P N\nA 1.5 \"a b\"\r\n  \n",
       {"S", "P", "N"},
       {{"A", "1.5", "a b"}, {"", "", ""}},
       ' '},
      // A carriage return ending the data is a line end, after a quoted field or not.
      {"final CR, quoted", "sym,vol\r\n\"600000.SH\",12\r", {"sym", "vol"}, {{"600000.SH", "12"}}},
      {"final CR", "sym,vol\r\n600000.SH,12\r", {"sym", "vol"}, {{"600000.SH", "12"}}},
      {"blank lines",
       "\n\na,b\n\n1,2\r\n   \r\n\t\n3,4\n\n\r\n  \n",
       {"a", "b"},
       {{"1", "2"}, {"3", "4"}}},
  };
  for (const auto& c : cases) {
    csv_file* h = open(c.text, c.delimiter);
    ASSERT_NE(h, nullptr) << c.what;
    EXPECT_EQ(header(h), c.header) << c.what;
    EXPECT_EQ(all_rows(h), c.rows) << c.what;
    EXPECT_TRUE(csv_eof(h)) << c.what;
  }
}

// Random tables written with standard quoting must read back field for field; the field
// lengths and positions exercise every alignment of the block scan.
TEST_F(CsvTest, ReadsBackRandomTables) {
  std::mt19937 rng(20230105);
  const std::string alphabet = "ab,;\"\n\r 0123456789.";
  for (int round = 0; round < 300; ++round) {
    const char d = ",;\t"[round % 3];
    const int cols = 2 + static_cast<int>(rng() % 5);
    const int rows = 1 + static_cast<int>(rng() % 6);
    Rows table;
    std::string text;
    for (int r = 0; r <= rows; ++r) {
      Row row;
      for (int c = 0; c < cols; ++c) {
        std::string field;
        const size_t len = (r == 0) ? 1 + rng() % 4 : rng() % 19;
        for (size_t k = 0; k < len; ++k)
          field += r == 0 ? static_cast<char>('a' + rng() % 26) : alphabet[rng() % alphabet.size()];
        std::string cell = field;
        if (field.find_first_of(std::string("\"\r\n") + d) != std::string::npos) {
          cell = "\"";
          for (char ch : field) cell += ch == '"' ? std::string("\"\"") : std::string(1, ch);
          cell += "\"";
        }
        text += (c ? std::string(1, d) : "") + cell;
        row.push_back(field);
      }
      if (r < rows || rng() % 2) text += rng() % 2 ? "\r\n" : "\n";
      if (r > 0) table.push_back(row);
    }
    csv_file* h = open(text, d);
    ASSERT_NE(h, nullptr) << text;
    ASSERT_EQ(csv_column_count(h), cols);
    ASSERT_EQ(all_rows(h), table) << "round " << round << ":\n" << text;
  }
}

TEST_F(CsvTest, MatchesHeaderNamesIgnoringCaseAndBlanks) {
  csv_file* h = open(" Last ,\tVOLUME\t,SeqNum,last\n1,2,3,4\n");
  ASSERT_NE(h, nullptr);
  const std::pair<const char*, int> lookups[] = {{"LAST", 0},  {"volume", 1}, {" SeqNum ", 2},
                                                 {"las", -1},  {"lastx", -1}, {"", -1},
                                                 {nullptr, -1}};
  for (const auto& l : lookups) EXPECT_EQ(csv_find_idx(h, l.first), l.second) << l.first;
  EXPECT_EQ(header(h), (Row{"Last", "VOLUME", "SeqNum", "last"}));
  EXPECT_EQ(csv_column_name(h, 4), nullptr);
  EXPECT_EQ(csv_column_name(h, -1), nullptr);
}

// A random decimal text: optional sign and blanks, digit runs around the 8- and 16-character
// word boundaries, sometimes a point, an exponent or a stray character.
std::string random_number_text(std::mt19937_64& rng) {
  std::string s;
  const auto digits = [&](int n) {
    for (int k = 0; k < n; ++k) s += static_cast<char>('0' + rng() % 10);
  };
  if (rng() % 8 == 0) s += ' ';
  if (rng() % 3 == 0) s += "-+"[rng() % 2];
  const int int_digits = static_cast<int>(rng() % 21);
  digits(int_digits);
  if (rng() % 4 != 0 || int_digits == 0) {
    s += '.';
    digits(static_cast<int>(rng() % 17));
  }
  if (rng() % 16 == 0) s += "e" + std::to_string(static_cast<int>(rng() % 40) - 20);
  if (rng() % 32 == 0) s.insert(rng() % (s.size() + 1), 1, "x.-:/"[rng() % 5]);
  if (rng() % 8 == 0) s += '\t';
  return s;
}

// Every text (the integer and float limits, overflows, NaN and infinities in any case and with
// a sign, an empty field among them) reads exactly as std::from_chars reads it (blanks around
// it and a leading '+' ignored, integers dropping a fraction, refused texts giving the
// defaults), whichever way the reader takes to get there.
TEST_F(CsvTest, NumbersAgreeWithFromChars) {
  std::mt19937_64 rng(99);
  // Ties and word boundaries, the int32, int64 and float (1e39 is beyond float only) limits.
  std::vector<std::string> samples = {""};
  std::istringstream fixed(
      "9007199254740992 9007199254740993 900719925474099.3 0.9007199254740993 1234567812345678 "
      "12345678.1234567 99999999 9999999999999999. 00000000000000000001.5 2147483647 -2147483648 "
      "2147483648 9223372036854775807 9223372036854775808 -9223372036854775808 1e400 0x10 3.4e38 "
      "1e39 0.1 nan NaN -inf +inf +nan +Infinity +x");
  for (std::string word; fixed >> word;) samples.push_back(word);
  for (int i = 0; i < 30000; ++i) samples.push_back(random_number_text(rng));
  std::string text = "v\n";
  for (const std::string& s : samples) text += "\"" + s + "\"\n";  // quoted: "" is a field
  csv_file* h = open(text);
  ASSERT_NE(h, nullptr);
  csv_set_default_value(h, -3.5, -3.5, -1, -2);
  for (const std::string& s : samples) {
    ASSERT_EQ(csv_next(h), 0);
    const char* b = s.data();
    const char* e = b + s.size();
    while (b < e && (*b == ' ' || *b == '\t')) ++b;
    while (e > b && (e[-1] == ' ' || e[-1] == '\t')) --e;
    if (*b == '+' && b + 1 < e && (isalnum(b[1]) || b[1] == '.')) ++b;
    double d = -3.5;
    auto rd = std::from_chars(b, e, d);  // the correctly rounded double
    if (rd.ec != std::errc() || rd.ptr != e) d = -3.5;
    const double got = csv_get_double_byidx(h, 0);
    if (std::isnan(d)) {
      ASSERT_TRUE(std::isnan(got) && std::isnan(csv_get_float_byidx(h, 0))) << s;
    } else {
      ASSERT_EQ(memcmp(&got, &d, sizeof d), 0) << "'" << s << "' read as " << got << " not " << d;
    }
    float f = -3.5f;
    auto rf = std::from_chars(b, e, f);  // rounded once, from the text
    if (rf.ec != std::errc() || rf.ptr != e) f = -3.5f;
    if (!std::isnan(f)) {
      ASSERT_EQ(csv_get_float_byidx(h, 0), f) << s;
    }
    const auto whole = [&](auto r) {  // an integer, or one with a fraction of digits only
      if (r.ec != std::errc() || (r.ptr != e && *r.ptr != '.')) return false;
      return std::all_of(r.ptr + (r.ptr != e), e, [](char c) { return isdigit(c) != 0; });
    };
    int64_t i64 = 0;
    int32_t i32 = 0;
    ASSERT_EQ(csv_get_int64_byidx(h, 0), whole(std::from_chars(b, e, i64)) ? i64 : -2) << s;
    ASSERT_EQ(csv_get_int32_byidx(h, 0), whole(std::from_chars(b, e, i32)) ? i32 : -1) << s;
  }
}

TEST_F(CsvTest, RowFaultsSayWhatWentWrongWithTheRow) {
  const struct {
    std::string text;
    std::vector<int> faults;  // per row
  } cases[] = {
      {"a,b\n1,2\n\"3,4\n5,6\n", {0, QL_CSV_FAULT_UNTERMINATED_QUOTE | QL_CSV_FAULT_NO_LINE_END}},
      {std::string("a,b\n1,2\n3\0x,4\n", 14), {0, QL_CSV_FAULT_NUL}},
      {"a,b\n1,2\n3", {0, QL_CSV_FAULT_NO_LINE_END}},
      {"a,b\n\"1\",2\n\"3\",4", {0, QL_CSV_FAULT_NO_LINE_END}},
  };
  for (const auto& c : cases) {
    csv_file* h = open(c.text);
    ASSERT_NE(h, nullptr);
    std::vector<int> faults;
    while (csv_next(h) == 0) faults.push_back(csv_row_faults(h));
    EXPECT_EQ(faults, c.faults);
    EXPECT_EQ(csv_row_faults(h), 0);  // no row
  }
}

// Line numbers count blank lines and line breaks inside quotes.
TEST_F(CsvTest, StepsThroughRowsCountingLinesThenStaysAtEnd) {
  csv_file* h = open("a,b\n\n1,\"x\ny\"\n2,z\n");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(csv_get_byidx(h, 0), nullptr);  // before the first row
  EXPECT_EQ(csv_line_number(h), 0);
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_EQ(csv_line_number(h), 3);
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_EQ(csv_line_number(h), 5);
  EXPECT_STREQ(csv_get_byidx(h, 0), "2");
  EXPECT_FALSE(csv_eof(h));  // only running past the last row ends the file
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(csv_next(h), -1);
    EXPECT_TRUE(csv_eof(h));
    EXPECT_EQ(csv_get_byidx(h, 0), nullptr);
    EXPECT_EQ(csv_field_count(h) + csv_line_number(h), 0);
  }
}

// Missing, empty, non-numeric fields, bad indices and NULL handles give NULL or the defaults
// (all 0 until set).
TEST_F(CsvTest, BadFieldsIndicesAndHandlesGiveDefaults) {
  csv_file* h = open("a,b,c\n,B\n");
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(csv_next(h), 0);
  const auto expect = [](csv_file* handle, int idx, float f, double d, int32_t i, int64_t l) {
    EXPECT_EQ(csv_get_float_byidx(handle, idx), f) << idx;
    EXPECT_EQ(csv_get_double_byidx(handle, idx), d) << idx;
    EXPECT_EQ(csv_get_int32_byidx(handle, idx), i) << idx;
    EXPECT_EQ(csv_get_int64_byidx(handle, idx), l) << idx;
  };
  for (int idx : {0, 1, 2, 255, -1, INT_MAX, INT_MIN}) {
    expect(h, idx, 0, 0, 0, 0);
    expect(nullptr, idx, 0, 0, 0, 0);
    EXPECT_EQ(csv_get_byidx(nullptr, idx), nullptr);
    if (idx == 0 || idx == 1) continue;  // the row's two fields
    int len = 5;
    EXPECT_EQ(csv_get_field(h, idx, &len), nullptr) << idx;
    EXPECT_EQ(len, 0);
  }
  csv_set_default_value(h, 1.5, 2.5, 7, 8);
  for (int idx : {0, 1, 2, 255, -1}) expect(h, idx, 1.5f, 2.5, 7, 8);
  csv_close(nullptr);
  csv_set_default_value(nullptr, 1, 2, 3, 4);
  EXPECT_EQ(csv_find_idx(nullptr, "a") + csv_next(nullptr), -2);
  EXPECT_EQ(csv_column_count(nullptr) + csv_field_count(nullptr) + csv_line_number(nullptr), 0);
  EXPECT_EQ(csv_column_name(nullptr, 0), nullptr);
  EXPECT_NE(csv_eof(nullptr), 0);
}

}  // namespace
