// The CSV reader of the utility layer: file loading, row splitting, header lookup and typed
// fields.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quotelab/utilcore.h"

namespace {

using Row = std::vector<std::string>;

// Owns the handles a test opens and reads rows out of them.
class CsvTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (csv_file* h : handles_) csv_close(h);
  }

  csv_file* open(const std::string& text, char delimiter = ',') {
    csv_file* h = csv_open_mem(text.data(), text.size(), delimiter, 0);
    if (h) handles_.push_back(h);
    return h;
  }

  csv_file* open_file(const std::string& path, char delimiter = ',') {
    csv_file* h = csv_open(path.c_str(), delimiter, 0);
    if (h) handles_.push_back(h);
    return h;
  }

  static Row current_row(csv_file* h) {
    Row row;
    for (int i = 0; i < csv_field_count(h); ++i) {
      int len = -1;
      const char* text = csv_get_field(h, i, &len);
      row.emplace_back(text, static_cast<size_t>(len));
    }
    return row;
  }

  static std::vector<Row> all_rows(csv_file* h) {
    std::vector<Row> rows;
    while (csv_next(h) == 0) rows.push_back(current_row(h));
    return rows;
  }

  static Row header(csv_file* h) {
    Row names;
    for (int i = 0; i < csv_column_count(h); ++i) names.emplace_back(csv_column_name(h, i));
    return names;
  }

  std::string temp_path(const char* name) {
    const std::string dir = ::testing::TempDir();
    return dir + (dir.empty() || dir.back() == '/' ? "" : "/") + "ql_csv_" +
           std::to_string(getpid()) + "_" + name;
  }

  std::string write_temp(const char* name, const std::string& text) {
    std::string path = temp_path(name);
    FILE* f = fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
      fwrite(text.data(), 1, text.size(), f);
      fclose(f);
    }
    return path;
  }

 private:
  std::vector<csv_file*> handles_;
};

// ---- opening -------------------------------------------------------------------------------

using CsvOpenTest = CsvTest;

TEST_F(CsvOpenTest, ReadsFileFromDisk) {
  csv_file* h = open_file(write_temp("disk.csv", "symbol,price\n600000.SH,10.5\n"));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(header(h), (Row{"symbol", "price"}));
  EXPECT_EQ(all_rows(h), (std::vector<Row>{{"600000.SH", "10.5"}}));
}

TEST_F(CsvOpenTest, RefusesWhatCannotBeRead) {
  EXPECT_EQ(csv_open(temp_path("absent.csv").c_str(), ',', 0), nullptr);
  EXPECT_EQ(csv_open(::testing::TempDir().c_str(), ',', 0), nullptr);  // a directory
  EXPECT_EQ(csv_open(nullptr, ',', 0), nullptr);
  EXPECT_EQ(csv_open_mem(nullptr, 3, ',', 0), nullptr);
}

TEST_F(CsvOpenTest, RefusesFilesWithoutHeaderRow) {
  EXPECT_EQ(open(""), nullptr);
  EXPECT_EQ(open("\xEF\xBB\xBF"), nullptr);
  EXPECT_EQ(open("\n\r\n  \n\t\n"), nullptr);
  EXPECT_EQ(open_file(write_temp("empty.csv", "")), nullptr);
}

TEST_F(CsvOpenTest, RefusesUnusableArguments) {
  const std::string text = "a,b\n1,2\n";
  EXPECT_EQ(csv_open_mem(text.data(), text.size(), ',', 1), nullptr);
  EXPECT_EQ(csv_open_mem(text.data(), text.size(), '"', 0), nullptr);
  EXPECT_EQ(csv_open_mem(text.data(), text.size(), '\n', 0), nullptr);
  EXPECT_EQ(csv_open_mem(text.data(), text.size(), '\r', 0), nullptr);
}

TEST_F(CsvOpenTest, CopiesMemoryInput) {
  std::string text = "a,b\n1,2\n";
  csv_file* h = open(text);
  ASSERT_NE(h, nullptr);
  text.assign(text.size(), 'x');
  EXPECT_EQ(all_rows(h), (std::vector<Row>{{"1", "2"}}));
}

// A FIFO has no size up front: the reader must grow its block while reading.
TEST_F(CsvOpenTest, ReadsStreamsOfUnknownSize) {
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
  csv_file* h = open_file(path);
  writer.join();
  unlink(path.c_str());
  ASSERT_NE(h, nullptr);
  int n = 0;
  while (csv_next(h) == 0) {
    ASSERT_EQ(csv_get_int32_byidx(h, 0), n);
    ++n;
  }
  EXPECT_EQ(n, rows);
}

// ---- splitting rows ------------------------------------------------------------------------

using CsvSplitTest = CsvTest;

TEST_F(CsvSplitTest, SkipsByteOrderMark) {
  csv_file* h = open("\xEF\xBB\xBFsymbol,price\nA,1\n");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(csv_find_idx(h, "symbol"), 0);
  EXPECT_EQ(all_rows(h), (std::vector<Row>{{"A", "1"}}));
}

TEST_F(CsvSplitTest, HandlesCrLfLineEnds) {
  csv_file* h = open("a,b\r\n1,2\r\n3,\r\n,4\r\n");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(header(h), (Row{"a", "b"}));
  EXPECT_EQ(all_rows(h), (std::vector<Row>{{"1", "2"}, {"3", ""}, {"", "4"}}));
}

TEST_F(CsvSplitTest, KeepsCarriageReturnInsideRow) {
  csv_file* h = open("a,b\nx\ry,z\n");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(all_rows(h), (std::vector<Row>{{"x\ry", "z"}}));
}

TEST_F(CsvSplitTest, ReadsQuotedFields) {
  csv_file* h = open(
      "a,b,c\n"
      "\"x,y\",\"say \"\"hi\"\"\",\"\"\n"
      "\"two\nlines\",\"crlf\r\ninside\",plain\r\n"
      "\"\"\"\",\"end\"\r\n");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(all_rows(h), (std::vector<Row>{{"x,y", "say \"hi\"", ""},
                                           {"two\nlines", "crlf\r\ninside", "plain"},
                                           {"\"", "end"}}));
}

TEST_F(CsvSplitTest, TreatsStrayQuotesLeniently) {
  // A quote inside an unquoted field is text; text after a closing quote is kept; an
  // unterminated quote takes the rest of the data.
  csv_file* h = open("a,b,c\n5'3\",x\"y,\"ab\"cd\n1,\"open,\nend");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(all_rows(h), (std::vector<Row>{{"5'3\"", "x\"y", "abcd"}, {"1", "open,\nend"}}));
}

TEST_F(CsvSplitTest, ReadsQuotedHeaderNames) {
  csv_file* h = open("\"last, price\",\" vol \"\n1,2\n");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(csv_find_idx(h, "last, price"), 0);
  EXPECT_EQ(csv_find_idx(h, "VOL"), 1);
}

TEST_F(CsvSplitTest, KeepsEmptyAndMissingFieldsApart) {
  csv_file* h = open("a,b,c\n1,,3\n4\n,,\n");
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_STREQ(csv_get_byidx(h, 1), "");
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_EQ(csv_field_count(h), 1);
  EXPECT_STREQ(csv_get_byidx(h, 0), "4");
  EXPECT_EQ(csv_get_byidx(h, 1), nullptr);
  EXPECT_EQ(csv_get_byidx(h, 2), nullptr);
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_EQ(current_row(h), (Row{"", "", ""}));
}

TEST_F(CsvSplitTest, ReadsLastRowWithoutLineEnd) {
  EXPECT_EQ(all_rows(open("a,b\n1,2")), (std::vector<Row>{{"1", "2"}}));
  EXPECT_EQ(all_rows(open("a,b\n1,")), (std::vector<Row>{{"1", ""}}));
  EXPECT_EQ(all_rows(open("a,b\n1,\"q\"")), (std::vector<Row>{{"1", "q"}}));
  csv_file* header_only = open("a,b");
  ASSERT_NE(header_only, nullptr);
  EXPECT_EQ(header(header_only), (Row{"a", "b"}));
  EXPECT_EQ(csv_next(header_only), -1);
}

TEST_F(CsvSplitTest, SkipsBlankLines) {
  csv_file* h = open("\n\na,b\n\n1,2\r\n   \r\n\t\n3,4\n\n\r\n  \n");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(all_rows(h), (std::vector<Row>{{"1", "2"}, {"3", "4"}}));
  EXPECT_TRUE(csv_eof(h));
}

TEST_F(CsvSplitTest, CountsLines) {
  csv_file* h = open("a,b\n\n1,\"x\ny\"\n2,z\n");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(csv_line_number(h), 0);
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_EQ(csv_line_number(h), 3);
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_EQ(csv_line_number(h), 5);
}

TEST_F(CsvSplitTest, GrowsForWideRows) {
  std::string text = "only\n";
  for (int i = 0; i < 1000; ++i) text += std::to_string(i) + (i < 999 ? "," : "\n");
  csv_file* h = open(text);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(csv_next(h), 0);
  ASSERT_EQ(csv_field_count(h), 1000);
  EXPECT_EQ(csv_get_int32_byidx(h, 999), 999);
  EXPECT_EQ(csv_get_int32_byidx(h, 500), 500);
}

class CsvDelimiterTest : public CsvTest, public ::testing::WithParamInterface<char> {};

TEST_P(CsvDelimiterTest, SplitsAtAnyOneByteDelimiter) {
  const char d = GetParam();
  const std::string s(1, d);
  csv_file* h = open("Symbol" + s + "Price" + s + "Note\n600000.SH" + s + "10.5" + s + "\"a" + s +
                         "b\"\r\n" + s + s + "\n",
                     d);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(csv_find_idx(h, "price"), 1);
  EXPECT_EQ(all_rows(h), (std::vector<Row>{{"600000.SH", "10.5", "a" + s + "b"}, {"", "", ""}}));
}

INSTANTIATE_TEST_SUITE_P(Delimiters, CsvDelimiterTest, ::testing::Values(',', ';', '|', '\t', ' '));

// Random tables written with standard quoting must read back field for field; the field
// lengths and positions exercise every alignment of the word-at-a-time scan.
TEST_F(CsvSplitTest, ReadsBackRandomTables) {
  std::mt19937 rng(20230105);
  const std::string alphabet = "ab,;\"\n\r 0123456789.";
  for (int round = 0; round < 300; ++round) {
    const char d = ",;\t"[round % 3];
    const int cols = 2 + static_cast<int>(rng() % 5);
    std::vector<Row> table;
    std::string text;
    const int rows = 1 + static_cast<int>(rng() % 6);
    for (int r = 0; r <= rows; ++r) {
      Row row;
      for (int c = 0; c < cols; ++c) {
        std::string field;
        const size_t len = (r == 0) ? 1 + rng() % 4 : rng() % 19;
        for (size_t k = 0; k < len; ++k) {
          field += r == 0 ? static_cast<char>('a' + rng() % 26) : alphabet[rng() % alphabet.size()];
        }
        const bool quote = field.find_first_of(std::string("\"\r\n") + d) != std::string::npos;
        std::string cell = field;
        if (quote) {
          cell = "\"";
          for (char ch : field) cell += ch == '"' ? std::string("\"\"") : std::string(1, ch);
          cell += "\"";
        }
        text += (c ? std::string(1, d) : "") + cell;
        row.push_back(field);
      }
      const bool last = r == rows;
      if (!last || rng() % 2) text += rng() % 2 ? "\r\n" : "\n";
      if (r > 0) table.push_back(row);
    }
    csv_file* h = open(text, d);
    ASSERT_NE(h, nullptr) << text;
    ASSERT_EQ(csv_column_count(h), cols);
    ASSERT_EQ(all_rows(h), table) << "round " << round << ":\n" << text;
  }
}

// ---- header lookup -------------------------------------------------------------------------

using CsvHeaderTest = CsvTest;

TEST_F(CsvHeaderTest, MatchesNamesIgnoringCaseAndBlanks) {
  csv_file* h = open(" Last ,\tVOLUME\t,SeqNum,last\n1,2,3,4\n");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(csv_find_idx(h, "last"), 0);  // the first of two matches
  EXPECT_EQ(csv_find_idx(h, "LAST"), 0);
  EXPECT_EQ(csv_find_idx(h, "volume"), 1);
  EXPECT_EQ(csv_find_idx(h, "seqnum"), 2);
  EXPECT_EQ(csv_find_idx(h, " SeqNum "), 2);
  EXPECT_EQ(csv_find_idx(h, "las"), -1);
  EXPECT_EQ(csv_find_idx(h, "lastx"), -1);
  EXPECT_EQ(csv_find_idx(h, ""), -1);
  EXPECT_EQ(csv_find_idx(h, nullptr), -1);
  EXPECT_STREQ(csv_column_name(h, 0), "Last");
  EXPECT_STREQ(csv_column_name(h, 1), "VOLUME");
  EXPECT_EQ(csv_column_name(h, 4), nullptr);
  EXPECT_EQ(csv_column_name(h, -1), nullptr);
}

TEST_F(CsvHeaderTest, FindsColumnsBeyondPosition255) {
  std::string head, row;
  for (int i = 0; i < 300; ++i) {
    head += "col_" + std::to_string(i) + (i < 299 ? "," : "\n");
    row += std::to_string(i * 10) + (i < 299 ? "," : "\n");
  }
  csv_file* h = open(head + row);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(csv_column_count(h), 300);
  EXPECT_EQ(csv_find_idx(h, "col_255"), 255);
  EXPECT_EQ(csv_find_idx(h, "COL_299"), 299);
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_EQ(csv_get_int32_byidx(h, 255), 2550);
  EXPECT_STREQ(csv_get_byidx(h, 255), "2550");
  EXPECT_EQ(csv_get_int64_byidx(h, 299), 2990);
  EXPECT_EQ(csv_get_byidx(h, 300), nullptr);
}

// ---- typed fields --------------------------------------------------------------------------

struct NumberCase {
  const char* text;
  int32_t i32;
  int64_t i64;
  double dbl;
};

class CsvNumberTest : public CsvTest, public ::testing::WithParamInterface<NumberCase> {};

// Defaults are -1 / -2 / -3.5 so that a value read as 0 is told apart from a refused one.
TEST_P(CsvNumberTest, ParsesOrFallsBackToDefault) {
  const NumberCase& c = GetParam();
  std::string quoted = "\"";
  for (const char* s = c.text; *s; ++s) quoted += *s == '"' ? "\"\"" : std::string(1, *s);
  csv_file* h = open("v\n" + quoted + "\"\n");
  ASSERT_NE(h, nullptr);
  csv_set_default_value(h, -3.5, -3.5, -1, -2);
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_EQ(csv_get_int32_byidx(h, 0), c.i32) << c.text;
  EXPECT_EQ(csv_get_int64_byidx(h, 0), c.i64) << c.text;
  EXPECT_EQ(csv_get_double_byidx(h, 0), c.dbl) << c.text;
  EXPECT_EQ(csv_get_float_byidx(h, 0), static_cast<float>(c.dbl)) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, CsvNumberTest,
    ::testing::Values(NumberCase{"42", 42, 42, 42.0}, NumberCase{" 42 ", 42, 42, 42.0},
                      NumberCase{"\t-7\t", -7, -7, -7.0}, NumberCase{"+7", 7, 7, 7.0},
                      NumberCase{"0", 0, 0, 0.0}, NumberCase{"-0", 0, 0, -0.0},
                      NumberCase{"007", 7, 7, 7.0}, NumberCase{"12.0", 12, 12, 12.0},
                      NumberCase{"12.75", 12, 12, 12.75}, NumberCase{"-3.", -3, -3, -3.0},
                      NumberCase{".5", -1, -2, 0.5}, NumberCase{"+.5", -1, -2, 0.5},
                      NumberCase{"1e3", -1, -2, 1000.0}, NumberCase{"10.5x", -1, -2, -3.5},
                      NumberCase{"12.5.1", -1, -2, -3.5}, NumberCase{"1 2", -1, -2, -3.5},
                      NumberCase{"B", -1, -2, -3.5}, NumberCase{"", -1, -2, -3.5},
                      NumberCase{"   ", -1, -2, -3.5}, NumberCase{"+", -1, -2, -3.5},
                      NumberCase{"-", -1, -2, -3.5}, NumberCase{"+-1", -1, -2, -3.5},
                      NumberCase{"- 1", -1, -2, -3.5}, NumberCase{"0x10", -1, -2, -3.5},
                      NumberCase{"2147483647", INT32_MAX, INT32_MAX, 2147483647.0},
                      NumberCase{"-2147483648", INT32_MIN, INT32_MIN, -2147483648.0},
                      NumberCase{"2147483648", -1, 2147483648LL, 2147483648.0},
                      NumberCase{"9223372036854775807", -1, INT64_MAX, 9223372036854775807.0},
                      NumberCase{"9223372036854775808", -1, -2, 9223372036854775808.0},
                      NumberCase{"-9223372036854775808", -1, INT64_MIN, -9223372036854775808.0},
                      NumberCase{"1e400", -1, -2, -3.5}, NumberCase{"-1e400", -1, -2, -3.5},
                      NumberCase{"0.1", 0, 0, 0.1},
                      NumberCase{"123456.789012", 123456, 123456, 123456.789012}));

// Random decimals and integers of every length read exactly as std::from_chars reads them,
// whichever way the reader takes to get there.
TEST_F(CsvTest, NumbersAgreeWithFromChars) {
  std::mt19937_64 rng(99);
  std::string text = "v\n";
  std::vector<std::string> samples;
  for (int i = 0; i < 20000; ++i) {
    std::string s = (rng() % 3 == 0) ? "-" : "";
    const int int_digits = static_cast<int>(rng() % 20);
    const int frac_digits = static_cast<int>(rng() % 12);
    for (int k = 0; k < int_digits; ++k) s += static_cast<char>('0' + rng() % 10);
    if (frac_digits > 0 || int_digits == 0) s += '.';
    for (int k = 0; k < frac_digits || (int_digits == 0 && k == 0); ++k) {
      s += static_cast<char>('0' + rng() % 10);
    }
    samples.push_back(s);
    text += s + "\n";
  }
  csv_file* h = open(text);
  ASSERT_NE(h, nullptr);
  csv_set_default_value(h, -3.5, -3.5, -1, -2);
  for (const std::string& s : samples) {
    ASSERT_EQ(csv_next(h), 0);
    const char* b = s.data();
    const char* e = b + s.size();
    double d = -3.5;
    auto rd = std::from_chars(b, e, d);
    ASSERT_TRUE(rd.ec == std::errc() && rd.ptr == e) << s;
    const double got = csv_get_double_byidx(h, 0);
    ASSERT_EQ(memcmp(&got, &d, sizeof d), 0) << s << " read as " << got << " not " << d;
    int64_t i64 = -2;
    auto ri = std::from_chars(b, e, i64);
    const bool whole = ri.ec == std::errc() && (ri.ptr == e || *ri.ptr == '.');
    ASSERT_EQ(csv_get_int64_byidx(h, 0), whole ? i64 : -2) << s;
    int32_t i32 = -1;
    auto r32 = std::from_chars(b, e, i32);
    const bool whole32 = r32.ec == std::errc() && (r32.ptr == e || *r32.ptr == '.');
    ASSERT_EQ(csv_get_int32_byidx(h, 0), whole32 ? i32 : -1) << s;
  }
}

TEST_F(CsvTest, ReadsFloatsInTheirOwnRange) {
  csv_file* h = open("a,b,c\n3.4e38,1e39,0.1\n");
  ASSERT_NE(h, nullptr);
  csv_set_default_value(h, -1.0, -2.0, 0, 0);
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_EQ(csv_get_float_byidx(h, 0), 3.4e38f);
  EXPECT_EQ(csv_get_float_byidx(h, 1), -1.0f);  // beyond float, within double
  EXPECT_EQ(csv_get_double_byidx(h, 1), 1e39);
  EXPECT_EQ(csv_get_float_byidx(h, 2), 0.1f);  // rounded once, from the text
}

TEST_F(CsvTest, ReadsNotANumberAndInfinityAsFromCharsDoes) {
  csv_file* h = open("a,b,c\nnan,-inf,NaN\n");
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_TRUE(std::isnan(csv_get_double_byidx(h, 0)));
  EXPECT_EQ(csv_get_double_byidx(h, 1), -INFINITY);
  EXPECT_TRUE(std::isnan(csv_get_double_byidx(h, 2)));
  EXPECT_EQ(csv_get_int32_byidx(h, 0), 0);
}

TEST_F(CsvTest, DefaultsApplyToMissingEmptyAndNonNumericFields) {
  csv_file* h = open("a,b,c\n,B\n");
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_EQ(csv_get_int32_byidx(h, 0), 0);  // all defaults 0 at first
  EXPECT_EQ(csv_get_double_byidx(h, 2), 0.0);
  csv_set_default_value(h, 1.5, 2.5, 7, 8);
  for (int idx : {0, 1, 2, 255, -1}) {
    EXPECT_EQ(csv_get_float_byidx(h, idx), 1.5f) << idx;
    EXPECT_EQ(csv_get_double_byidx(h, idx), 2.5) << idx;
    EXPECT_EQ(csv_get_int32_byidx(h, idx), 7) << idx;
    EXPECT_EQ(csv_get_int64_byidx(h, idx), 8) << idx;
  }
}

// ---- cursor --------------------------------------------------------------------------------

using CsvCursorTest = CsvTest;

TEST_F(CsvCursorTest, StepsThroughRowsThenStaysAtEnd) {
  csv_file* h = open("a\n1\n2\n");
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(csv_eof(h));
  EXPECT_EQ(csv_field_count(h), 0);
  EXPECT_EQ(csv_get_byidx(h, 0), nullptr);  // before the first row
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_STREQ(csv_get_byidx(h, 0), "1");
  EXPECT_FALSE(csv_eof(h));
  ASSERT_EQ(csv_next(h), 0);
  EXPECT_STREQ(csv_get_byidx(h, 0), "2");
  EXPECT_FALSE(csv_eof(h));  // only running past the last row ends the file
  EXPECT_EQ(csv_next(h), -1);
  EXPECT_TRUE(csv_eof(h));
  EXPECT_EQ(csv_get_byidx(h, 0), nullptr);
  EXPECT_EQ(csv_field_count(h), 0);
  EXPECT_EQ(csv_line_number(h), 0);
  EXPECT_EQ(csv_next(h), -1);
  EXPECT_TRUE(csv_eof(h));
}

TEST_F(CsvCursorTest, HeaderOnlyFileEndsAtFirstStep) {
  csv_file* h = open("a,b\n\n");
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(csv_eof(h));
  EXPECT_EQ(csv_next(h), -1);
  EXPECT_TRUE(csv_eof(h));
}

TEST_F(CsvCursorTest, BadIndicesGiveNullOrDefault) {
  csv_file* h = open("a,b\n1,2\n");
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(csv_next(h), 0);
  for (int idx : {-1, 2, 255, INT_MAX, INT_MIN}) {
    EXPECT_EQ(csv_get_byidx(h, idx), nullptr) << idx;
    int len = 5;
    EXPECT_EQ(csv_get_field(h, idx, &len), nullptr) << idx;
    EXPECT_EQ(len, 0);
    EXPECT_EQ(csv_get_int32_byidx(h, idx), 0) << idx;
    EXPECT_EQ(csv_get_int64_byidx(h, idx), 0) << idx;
    EXPECT_EQ(csv_get_double_byidx(h, idx), 0.0) << idx;
    EXPECT_EQ(csv_get_float_byidx(h, idx), 0.0f) << idx;
  }
  EXPECT_NE(csv_get_field(h, 1, nullptr), nullptr);
}

TEST(CsvNullHandleTest, EveryCallAcceptsNull) {
  csv_close(nullptr);
  csv_set_default_value(nullptr, 1, 2, 3, 4);
  EXPECT_EQ(csv_find_idx(nullptr, "a"), -1);
  EXPECT_EQ(csv_column_count(nullptr), 0);
  EXPECT_EQ(csv_column_name(nullptr, 0), nullptr);
  EXPECT_EQ(csv_next(nullptr), -1);
  EXPECT_NE(csv_eof(nullptr), 0);
  EXPECT_EQ(csv_field_count(nullptr), 0);
  EXPECT_EQ(csv_line_number(nullptr), 0);
  EXPECT_EQ(csv_get_byidx(nullptr, 0), nullptr);
  int len = 3;
  EXPECT_EQ(csv_get_field(nullptr, 0, &len), nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(csv_get_int32_byidx(nullptr, 0), 0);
  EXPECT_EQ(csv_get_int64_byidx(nullptr, 0), 0);
  EXPECT_EQ(csv_get_double_byidx(nullptr, 0), 0.0);
  EXPECT_EQ(csv_get_float_byidx(nullptr, 0), 0.0f);
}

// A sample file in the repository, as a vendor ships it: byte-order mark, CRLF, quoted names.
TEST_F(CsvTest, ReadsVendorSample) {
  csv_file* h = open_file(std::string(QL_TEST_DATA_DIR) + "/csv/vendor_ticks.csv");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(csv_find_idx(h, "symbol"), 0);
  EXPECT_EQ(csv_find_idx(h, "lastpx"), 3);
  const std::vector<Row> rows = all_rows(h);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1][0], "000001.SZ");
  EXPECT_EQ(rows[2][5], "note, with \"quotes\"");
}

}  // namespace
