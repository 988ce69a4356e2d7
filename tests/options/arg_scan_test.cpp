// Scanning: the program's own table, tables with untagged, mandatory,
// string, double and keyword rows, table faults, and the limits.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "cli/option_table.h"
#include "options/arg_internal.h"
#include "options/argtable.h"
#include "tests/options/scan_support.h"

namespace {

struct ProgramScan {
  OptionValues values{77, 77, 77, 77, 77, 77};
  arg_spec table[kOptionCount];
  ProgramScan() { FillOptionTable(table, &values); }
  ScanOutcome Run(const std::vector<std::string>& args) {
    std::vector<std::string> entries{"slotrec"};
    entries.insert(entries.end(), args.begin(), args.end());
    return ScanWith(entries, table, kOptionCount);
  }
};

TEST(ProgramTable, NoArgumentsStoreEveryDefault) {
  ProgramScan scan;
  ScanOutcome out = scan.Run({});
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.copy, "slotrec ");
  EXPECT_EQ(out.message, "");
  EXPECT_EQ(out.mark, "");
  EXPECT_EQ(scan.values.fps, 20);
  EXPECT_EQ(scan.values.slotsecs, 2);
  EXPECT_EQ(scan.values.withmouse, 1);
  EXPECT_EQ(scan.values.verbose, 0);
  EXPECT_EQ(scan.values.totalcapture, 0);
  EXPECT_EQ(scan.values.debug, 0);
}

TEST(ProgramTable, ValueFormsAndWhereTagsStand) {
  struct Case {
    std::vector<std::string> args;
    int32_t fps, slotsecs, withmouse, verbose;
  } cases[] = {
      {{"fps=30"}, 30, 2, 1, 0},
      {{"fps=", "30"}, 30, 2, 1, 0},
      {{"fps=0x1E"}, 30, 2, 1, 0},
      {{"fps=0X1e"}, 30, 2, 1, 0},
      {{"fps=036"}, 30, 2, 1, 0},
      {{"fps=-7"}, -7, 2, 1, 0},
      {{"fps=+7"}, 7, 2, 1, 0},
      {{"slotsecs=5fps=30"}, 30, 5, 1, 0},
      {{"-verbose", "withmouse=OFF"}, 20, 2, 0, 1},
      {{"withmouse=", "tr"}, 20, 2, 1, 0},
      // Outside 32 bits a command-line integer is clamped to the nearest end.
      {{"fps=2147483648"}, INT32_MAX, 2, 1, 0},
      {{"fps=0xFFFFFFFF"}, INT32_MAX, 2, 1, 0},
      {{"fps=-2147483648"}, INT32_MIN, 2, 1, 0},
      {{"fps=-99999999999999999999999"}, INT32_MIN, 2, 1, 0},
  };
  for (const Case& c : cases) {
    ProgramScan scan;
    ScanOutcome out = scan.Run(c.args);
    SCOPED_TRACE(out.copy);
    EXPECT_EQ(out.result, 1) << out.message;
    EXPECT_EQ(scan.values.fps, c.fps);
    EXPECT_EQ(scan.values.slotsecs, c.slotsecs);
    EXPECT_EQ(scan.values.withmouse, c.withmouse);
    EXPECT_EQ(scan.values.verbose, c.verbose);
  }
}

TEST(ProgramTable, ProgramNameIsNeverAnOption) {
  ProgramScan scan;
  ScanOutcome out = ScanWith({"/opt/fps=5/slotrec", "-verbose"}, scan.table, kOptionCount);
  EXPECT_EQ(out.result, 1) << out.message;
  EXPECT_EQ(scan.values.fps, 20);
  out = ScanWith({"my slotrec", "fps=x"}, scan.table, kOptionCount);
  EXPECT_EQ(out.copy, "'my slotrec' fps=x ");
  EXPECT_EQ(out.mark, std::string(17, ' ') + "^");
}

// The joined text: an entry with any of the six white-space characters is
// quoted, the program name like any other, so marks after it stay under
// their characters; an empty entry still takes its one blank; and each of
// the six is skipped before a value.
TEST(JoinedText, EveryWhiteSpaceQuotesItsEntryAndAnEmptyEntryKeepsItsBlank) {
  int32_t n = -1;
  arg_spec rows[] = {{"n=", nullptr, arg_int, &n, "0", nullptr}};
  for (const char space : std::string(" \f\n\r\v\t")) {
    const std::string s(1, space);
    SCOPED_TRACE("white space " + std::to_string(static_cast<int>(space)));
    EXPECT_TRUE(arg_is_space(space));

    ScanOutcome out = ScanWith({"prog", "a" + s + "b", "n=x"}, rows, 1);
    EXPECT_EQ(out.copy, "prog 'a" + s + "b' n=x ");
    EXPECT_EQ(out.message, "invalid n=<int> argument");
    EXPECT_EQ(out.mark, std::string(13, ' ') + "^");

    out = ScanWith({"my" + s + "prog", "n=x"}, rows, 1);
    EXPECT_EQ(out.copy, "'my" + s + "prog' n=x ");
    EXPECT_EQ(out.mark, std::string(12, ' ') + "^");

    EXPECT_EQ(arg_convert_value(&rows[0], (s + "12").c_str()), 3);
    EXPECT_EQ(n, 12);
    EXPECT_EQ(arg_parse_bool((s + "on").c_str()), 1);
  }
  EXPECT_FALSE(arg_is_space('\0'));
  EXPECT_FALSE(arg_is_space('x'));

  ScanOutcome out = ScanWith({"prog", "", "n=x"}, rows, 1);
  EXPECT_EQ(out.copy, "prog  n=x ");
  EXPECT_EQ(out.mark, std::string(8, ' ') + "^");
  out = ScanWith({"prog", "", "n=4", ""}, rows, 1);
  EXPECT_EQ(out.result, 1) << out.message;
  EXPECT_EQ(out.copy, "prog  n=4  ");
  EXPECT_EQ(n, 4);
}

TEST(BoolWords, CaseAndLeadingParts) {
  for (const char* word : {"OFF", "of", "n", "False", "f", "NO", "  off"}) {
    EXPECT_EQ(arg_parse_bool(word), 0) << word;
  }
  for (const char* word : {"Y", "tr", "On", "yes", "TRUE"}) {
    EXPECT_EQ(arg_parse_bool(word), 1) << word;
  }
  for (const char* word : {"o", "1", "0", "offf", "", "   ", "yess", "on ", "nope"}) {
    EXPECT_EQ(arg_parse_bool(word), -1) << word;
  }
  EXPECT_EQ(arg_parse_bool(nullptr), -1);
}

// A table with every kind of row: untagged and mandatory ones included.
struct MixedTable {
  int32_t count = -1;
  char name[8] = "unset";
  int32_t fast = -1;
  double ratio = -1;
  int32_t size = -1;
  arg_spec rows[5] = {
      {nullptr, nullptr, arg_int, &count, nullptr, "how many"},
      {nullptr, "<file>", arg_str, name, nullptr, "output", sizeof name},
      {"mode=", "fast", arg_lit, &fast, "0", "speed"},
      {"ratio=", nullptr, arg_dbl, &ratio, "1.5", "scale"},
      {"size=", nullptr, arg_int, &size, nullptr, "bytes"},
  };
  ScanOutcome Run(const std::vector<std::string>& args) {
    std::vector<std::string> entries{"prog"};
    entries.insert(entries.end(), args.begin(), args.end());
    return ScanWith(entries, rows, 5);
  }
};

TEST(MixedTable, StoresEveryKind) {
  MixedTable t;
  ScanOutcome out = t.Run({"size=4", "3", "mode=fast", "ratio=-.25e1", "a b"});
  ASSERT_EQ(out.result, 1) << out.message;
  EXPECT_EQ(out.copy, "prog size=4 3 mode=fast ratio=-.25e1 'a b' ");
  EXPECT_EQ(t.count, 3);
  EXPECT_STREQ(t.name, "a b");
  EXPECT_EQ(t.fast, 1);
  EXPECT_DOUBLE_EQ(t.ratio, -2.5);
  EXPECT_EQ(t.size, 4);
}

TEST(MixedTable, ErrorsAndTheirMarks) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
    int blanks, carets;  // the mark line
  } cases[] = {
      // Mandatory tagged row absent: the caret stands past the trailing blank.
      {{"1", "x"}, "missing size=<int> argument", 9, 1},
      {{"size=1"}, "<int> argument expected", 12, 1},
      {{"size=1", "abc"}, "invalid <int> argument", 12, 3},
      {{"size=1", "7"}, "<file> argument expected", 14, 1},
      {{"size=1", "7", "f", "extra"}, "unexpected argument", 16, 5},
      {{"size=1", "7", "f", "mode=slow"}, "invalid mode=fast argument", 21, 1},
      // A tag's value may be the next entry, and then that entry is taken.
      {{"size=", "7", "f"}, "invalid <int> argument", 13, 1},
      {{"size=z", "7", "f"}, "invalid size=<int> argument", 10, 1},
      {{"size=1", "7", "f", "ratio=1e"}, "invalid ratio=<double> argument", 22, 1},
      {{"size=1", "7", "f", "ratio=inf"}, "invalid ratio=<double> argument", 22, 1},
      {{"size=1", "7", "f", "ratio=2.5x"}, "unexpected argument", 25, 1},
      {{"size=1", "size=2", "7", "f"}, "repeat tag", 12, 5},
      {{"size=1", "7", "longname"}, "<file> argument longer than 7 characters", 14, 8},
      // An unclosed quote is stored but not taken: the quote is rejected.
      {{"size=1", "7", "'abc"}, "unexpected argument", 14, 4},
  };
  for (const Case& c : cases) {
    MixedTable t;
    ScanOutcome out = t.Run(c.args);
    SCOPED_TRACE(out.copy);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.message, c.message);
    EXPECT_EQ(out.mark, std::string(c.blanks, ' ') + std::string(c.carets, '^'));
  }
}

TEST(MixedTable, UntaggedRowWithDefaultLeavesAWordItCannotRead) {
  int32_t number = 0;
  char text[16] = "";
  int32_t go = 0;
  arg_spec rows[] = {
      {nullptr, nullptr, arg_int, &number, "7", nullptr},
      {nullptr, "go", arg_lit, &go, "0", nullptr},
      {nullptr, nullptr, arg_str, text, "none", nullptr, sizeof text},
  };
  ScanOutcome out = ScanWith({"prog", "word"}, rows, 3);
  EXPECT_EQ(out.result, 1) << out.message;
  EXPECT_EQ(number, 7);
  EXPECT_EQ(go, 0);
  EXPECT_STREQ(text, "word");

  out = ScanWith({"prog", "12", "go"}, rows, 3);
  EXPECT_EQ(out.result, 1) << out.message;
  EXPECT_EQ(number, 12);
  EXPECT_EQ(go, 1);
  EXPECT_STREQ(text, "none");

  out = ScanWith({"prog", "x", "y"}, rows, 3);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.message, "unexpected argument");
  EXPECT_EQ(out.mark, "       ^");
}

TEST(Conversions, CountsAndValues) {
  int32_t i = 0;
  arg_spec int_row{"n=", nullptr, arg_int, &i, "0", nullptr};
  EXPECT_EQ(arg_convert_value(&int_row, "  12abc"), 4);
  EXPECT_EQ(i, 12);
  EXPECT_EQ(arg_convert_value(&int_row, "08"), 1);
  EXPECT_EQ(i, 0);
  for (const char* none : {"", "   ", "-", "+", "0x", "0xg", "x1"}) {
    EXPECT_EQ(arg_convert_value(&int_row, none), arg_no_value) << none;
  }

  double d = 0;
  arg_spec dbl_row{"d=", nullptr, arg_dbl, &d, "0", nullptr};
  EXPECT_EQ(arg_convert_value(&dbl_row, " 1.e2x"), 5);
  EXPECT_DOUBLE_EQ(d, 100.0);
  EXPECT_EQ(arg_convert_value(&dbl_row, "1e999"), 5);
  EXPECT_EQ(d, DBL_MAX);  // clamped: the table never hands out a non-finite number
  EXPECT_EQ(arg_convert_value(&dbl_row, "-1e999"), 6);
  EXPECT_EQ(d, -DBL_MAX);
  for (const char* none : {".", "e5", "1e+", "nan", "-inf"}) {
    EXPECT_EQ(arg_convert_value(&dbl_row, none), arg_no_value) << none;
  }

  char s[6] = "";
  arg_spec str_row{"s=", nullptr, arg_str, s, "", nullptr, sizeof s};
  EXPECT_EQ(arg_convert_value(&str_row, " 'a b' c"), 6);
  EXPECT_STREQ(s, "a b");
  EXPECT_EQ(arg_convert_value(&str_row, "'' "), 2);  // two quotes are a word
  EXPECT_STREQ(s, "''");
  EXPECT_EQ(arg_convert_value(&str_row, "'ab "), 0);  // unclosed: stored, not taken
  EXPECT_STREQ(s, "ab ");
  EXPECT_EQ(arg_convert_value(&str_row, "abcdef"), arg_value_too_big);
  EXPECT_STREQ(s, "ab ");
  EXPECT_EQ(arg_convert_value(&str_row, "'abcdef'"), arg_value_too_big);

  int32_t lit = 0;
  arg_spec keyword_row{"m=", "on", arg_lit, &lit, "0", nullptr};
  EXPECT_EQ(arg_convert_value(&keyword_row, "ON"), arg_no_value);
  EXPECT_EQ(lit, 1);  // a tagged literal is present even when its keyword is wrong
  EXPECT_EQ(arg_convert_value(&keyword_row, " on"), 3);
}

TEST(TableFaults, ReportedBeforeAnyOptionIsRead) {
  struct Case {
    arg_spec second;
    const char* message;
  } cases[] = {
      {{"", nullptr, arg_int, nullptr, "1", nullptr}, "arg[1], invalid tag \"\""},
      {{" x=", nullptr, arg_int, nullptr, "1", nullptr}, "arg[1], invalid tag \" x=\""},
      {{"x=", nullptr, arg_int, nullptr, "5 ", nullptr},
       "arg[1].defaultstr == \"5 \", invalid int"},
      {{"x=", nullptr, arg_int, nullptr, "", nullptr}, "arg[1].defaultstr == \"\", invalid int"},
      {{"x=", nullptr, arg_int, nullptr, "0x80000000", nullptr},
       "arg[1].defaultstr == \"0x80000000\", invalid int"},
      {{"x", nullptr, arg_lit, nullptr, "no", nullptr}, "arg[1].defaultstr == \"no\", invalid int"},
      {{"x=", nullptr, arg_bool, nullptr, "1", nullptr}, "arg[1].defaultstr == \"1\", invalid bool"},
      {{"x=", nullptr, arg_dbl, nullptr, "1e999", nullptr},
       "arg[1].defaultstr == \"1e999\", invalid double"},
      {{"x=", nullptr, arg_dbl, nullptr, "1.5 ", nullptr},
       "arg[1].defaultstr == \"1.5 \", invalid double"},
      {{"x=", nullptr, static_cast<arg_type>(9), nullptr, "1", nullptr},
       "arg[1], invalid type 9"},
  };
  for (const Case& c : cases) {
    int32_t first = -1;
    arg_spec rows[] = {{"a=", nullptr, arg_int, &first, "3", nullptr}, c.second};
    ScanOutcome out = ScanWith({"prog", "a=5"}, rows, 2);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.message, c.message);
    EXPECT_EQ(out.mark, "");
    EXPECT_EQ(out.copy, "prog a=5 ");
  }
  // A tag fault is found before the first default is stored.
  int32_t first = -1;
  arg_spec rows[] = {{"a=", nullptr, arg_int, &first, "3", nullptr},
                     {"", nullptr, arg_int, nullptr, "1", nullptr}};
  ScanWith({"prog"}, rows, 2);
  EXPECT_EQ(first, -1);
}

TEST(TableFaults, AcceptedOddities) {
  int32_t spaced = 0, flag = 0;
  char small[4];
  arg_spec rows[] = {
      {"a b=", nullptr, arg_int, &spaced, " -0x10", nullptr},
      {"f=", nullptr, arg_bool, &flag, "yes", nullptr},
      {"s=", nullptr, arg_str, small, "abc", nullptr, sizeof small},
  };
  ScanOutcome out = ScanWith({"prog", "a", "b=4"}, rows, 3);
  EXPECT_EQ(out.result, 1) << out.message;
  EXPECT_EQ(spaced, 4);
  EXPECT_EQ(flag, 1);
  out = ScanWith({"prog"}, rows, 3);
  EXPECT_EQ(spaced, -16);

  rows[2].defaultstr = "abcd";
  out = ScanWith({"prog"}, rows, 3);
  EXPECT_EQ(out.message, "arg[2].defaultstr == \"abcd\", longer than 3 characters");
  rows[2].value_size = 0;
  out = ScanWith({"prog"}, rows, 3);
  EXPECT_EQ(out.message, "arg[2], string variable without a size");
}

TEST(Limits, CommandLineMustFitTheCopy) {
  int32_t n = 0;
  arg_spec rows[] = {{nullptr, nullptr, arg_str, nullptr, "", nullptr},
                     {"n=", nullptr, arg_int, &n, "0", nullptr}};
  // "prog " + word + " " is 199 characters: just fits.
  std::string word(193, 'w');
  ScanOutcome out = ScanWith({"prog", word}, rows, 2);
  EXPECT_EQ(out.result, 1) << out.message;
  EXPECT_EQ(out.copy.size(), 199u);

  out = ScanWith({"prog", word + "w"}, rows, 2);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.message, "command line longer than 199 characters");
  EXPECT_EQ(out.mark, "");
  EXPECT_EQ(out.copy.size(), 199u);
  EXPECT_EQ(out.copy.substr(196), "...");

  // Without a copy the working text is the limit, and values have theirs.
  out = ScanWith({"prog", "n=1", std::string(9000, 'x')}, rows, 2, false);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.message, "<string> argument longer than 199 characters");
  EXPECT_EQ(out.mark, std::string(9, ' ') + "^");
  out = ScanWith({"prog", std::string(9994, 'x')}, rows, 2, false);
  EXPECT_EQ(out.message, "command line longer than 9999 characters");
  out = ScanWith({"prog", "n=" + std::string(300, '1')}, rows, 2, false);
  EXPECT_EQ(out.message, "n=<int> argument longer than 199 characters");
  EXPECT_EQ(out.mark, std::string(7, ' ') + "^");
}

TEST(Limits, MessageAndMarkThatWouldNotFit) {
  std::string long_tag(190, 't');
  arg_spec rows[] = {{long_tag.c_str(), "<long>", arg_int, nullptr, nullptr, nullptr}};
  ScanOutcome out = ScanWith({"prog"}, rows, 1);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.message, "error message longer than 199 characters");

  // A missing option on a command line that fills the copy: the caret would
  // fall past the mark's buffer, so the mark stays empty.
  arg_spec mandatory[] = {{"n=", nullptr, arg_int, nullptr, nullptr, nullptr}};
  out = ScanWith({"prog", std::string(193, 'w')}, mandatory, 1);
  EXPECT_EQ(out.message, "missing n=<int> argument");
  EXPECT_EQ(out.mark, "");
  EXPECT_EQ(arg_mark_line(nullptr, 5, 5), 1);
}

TEST(MarkValue, PointsAtTheValueTheScanTook) {
  ProgramScan scan;
  struct Case {
    std::vector<std::string> args;
    int row;
    int blanks, carets;
  } cases[] = {
      {{"fps=0"}, 0, 12, 1},
      {{"fps=", "0x0"}, 0, 13, 3},
      {{"slotsecs=5fps=0"}, 0, 22, 1},
      // fps= inside slotsecs='s entry is taken first; slotsecs= then reads on.
      {{"slotsecs=fps=30", "0"}, 1, 24, 1},
      {{"-verbose"}, 3, 8, 8},  // no value: the tag itself
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv{"slotrec"};
    for (const std::string& a : c.args) argv.push_back(a.c_str());
    char mark[arg_text_size];
    EXPECT_EQ(arg_mark_value(static_cast<int>(argv.size()), argv.data(), scan.table,
                             kOptionCount, c.row, mark),
              1);
    EXPECT_EQ(std::string(mark), std::string(c.blanks, ' ') + std::string(c.carets, '^'));
  }
  const char* argv[] = {"slotrec"};
  char mark[arg_text_size];
  EXPECT_EQ(arg_mark_value(1, argv, scan.table, kOptionCount, 0, mark), 0);
  EXPECT_STREQ(mark, "");
}

}  // namespace
