// Help texts: syntax line, glossary and table dump, for the program's table
// and for others, and what happens when a text would not fit its area.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/option_table.h"
#include "options/argtable.h"
#include "tests/options/scan_support.h"

namespace {

std::string Dump(const arg_spec* table, int count) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* stream = open_memstream(&data, &size);
  arg_print_table(stream, table, count);
  std::fclose(stream);
  std::string text(data, size);
  std::free(data);
  return text;
}

TEST(ProgramHelp, SyntaxLineGlossaryAndDump) {
  OptionValues values{};
  arg_spec table[kOptionCount];
  FillOptionTable(table, &values);

  const std::string usage = arg_usage_line(table, kOptionCount);
  EXPECT_EQ(usage,
            "[fps=fps] [slotsecs=slotsecs] [withmouse=<on/off>] [-verbose] "
            "[-totalcapture] [debug=<on/off>]");
  EXPECT_EQ(usage.size(), 94u);
  EXPECT_EQ(std::string(arg_usage_line(table, kOptionCount)), usage);  // rebuilt, not doubled

  const std::string glossary = arg_help_text(table, kOptionCount);
  EXPECT_EQ(glossary,
            "   fps=fps\t\t wanted FPS\n"
            "   slotsecs=slotsecs\t\t Seconds per timeslot\n"
            "   withmouse=<on/off>\t\t Record mouse  cursor\n"
            "   -verbose\t\t specifies verbose output\n"
            "   -totalcapture\t\t Capture All Monitors! Handle with care!\n");
  EXPECT_EQ(glossary.size(), 211u);
  EXPECT_EQ(std::string(arg_help_text(table, kOptionCount)), glossary);

  ASSERT_EQ(ScanWith({"slotrec", "-verbose"}, table, kOptionCount).result, 1);
  EXPECT_EQ(Dump(table, kOptionCount),
            "  0: \"fps=\"          \"fps\"              arg_int = 20         \"\t\t wanted FPS\"\n"
            "  1: \"slotsecs=\"     \"slotsecs\"         arg_int = 2          \"\t\t Seconds per "
            "timeslot\"\n"
            "  2: \"withmouse=\"    \"<on/off>\"        arg_bool = 1          \"\t\t Record mouse  "
            "cursor\"\n"
            "  3: \"-verbose\"      NULL               arg_lit = 1          \"\t\t specifies "
            "verbose output\"\n"
            "  4: \"-totalcapture\" NULL               arg_lit = 0          \"\t\t Capture All "
            "Monitors! Handle with care!\"\n"
            "  5: \"debug=\"        \"<on/off>\"        arg_bool = 0          NULL\n");
}

TEST(OtherHelp, UntaggedMandatoryAndUndescribedRows) {
  double ratio = 2.5;
  char name[8] = "out";
  int32_t quiet = 0;
  arg_spec rows[] = {
      {nullptr, nullptr, arg_lit, &quiet, "0", nullptr},  // nothing to show: left out
      {nullptr, nullptr, arg_int, nullptr, "3", "\tcount"},
      {nullptr, "<file>", arg_str, name, nullptr, nullptr, sizeof name},
      {"ratio=", nullptr, arg_dbl, &ratio, nullptr, nullptr},
      {"-q", "uiet", arg_lit, nullptr, "0", " quietly"},
  };
  EXPECT_STREQ(arg_usage_line(rows, 5), "[<int>] <file> ratio=<double> [-quiet]");
  EXPECT_STREQ(arg_help_text(rows, 5), "   <int>\tcount\n   -quiet quietly\n");
  EXPECT_STREQ(arg_help_text(rows + 2, 2), "");
  EXPECT_STREQ(arg_usage_line(rows, 0), "");
  EXPECT_EQ(Dump(rows, 5),
            "  0: NULL            NULL               arg_lit = 0          NULL\n"
            "  1: NULL            NULL               arg_int = NULL       \"\tcount\"\n"
            "  2: NULL            \"<file>\"           arg_str = \"out\"      NULL\n"
            "  3: \"ratio=\"        NULL               arg_dbl = 2.500000   NULL\n"
            "  4: \"-q\"            \"uiet\"             arg_lit = NULL       \" quietly\"\n");
}

// A string row shows its text in the dump whether or not it gives the size
// of its variable: a row written with the six documented fields (size 0,
// not given) is read up to the terminator, and a text too long for the
// column is cut like any other.
TEST(OtherHelp, StringValueShownWithOrWithoutItsSize) {
  char name[8] = "out";
  std::string long_text(250, 's');
  arg_spec rows[] = {
      {"a=", nullptr, arg_str, name, nullptr, nullptr},
      {"b=", nullptr, arg_str, name, nullptr, nullptr, sizeof name},
      {"c=", nullptr, arg_str, long_text.data(), nullptr, nullptr},
  };
  EXPECT_EQ(Dump(rows, 3),
            "  0: \"a=\"            NULL               arg_str = \"out\"      NULL\n"
            "  1: \"b=\"            NULL               arg_str = \"out\"      NULL\n"
            "  2: \"c=\"            NULL               arg_str = \"" +
                std::string(195, 's') + "... NULL\n");
}

TEST(OtherHelp, TextsTooLongForTheirAreasAreCut) {
  std::vector<std::string> tags;
  for (int i = 0; i < 40; ++i) tags.push_back("option" + std::to_string(i) + "=");
  std::string long_description(300, 'd');
  std::vector<arg_spec> rows;
  for (const std::string& tag : tags) {
    rows.push_back({tag.c_str(), nullptr, arg_int, nullptr, "0",
                    "\t\t a description of some length, to fill the glossary up"});
  }
  rows.push_back({"last=", nullptr, arg_int, nullptr, "0", long_description.c_str()});
  const int count = static_cast<int>(rows.size());

  const std::string usage = arg_usage_line(rows.data(), count);
  EXPECT_EQ(usage.size(), 199u);
  EXPECT_EQ(usage.substr(0, 18), "[option0=<int>] [o");
  EXPECT_EQ(usage.substr(196), "...");

  const std::string glossary = arg_help_text(rows.data(), count);
  EXPECT_EQ(glossary.size(), 2999u);
  EXPECT_EQ(glossary.substr(2995), "...\n");

  // One line longer than its 200-byte area.
  const std::string line = arg_help_text(&rows.back(), 1);
  EXPECT_EQ(line.size(), 199u);
  EXPECT_EQ(line.substr(0, 8), "   last=");
  EXPECT_EQ(line.substr(195), "...\n");

  // A dump column is cut the same way; a string variable without its
  // terminator is shown only as far as the variable goes.
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  arg_spec dumped[] = {
      {"last=", nullptr, arg_int, nullptr, "0", long_description.c_str()},
      {"s=", nullptr, arg_str, unterminated, nullptr, nullptr, sizeof unterminated},
  };
  const std::string dump = Dump(dumped, 2);
  const std::string first = dump.substr(0, dump.find('\n'));
  EXPECT_EQ(first.size(), 5u + 15 + 1 + 15 + 1 + 10 + 3 + 10 + 1 + 199);
  EXPECT_EQ(first.substr(first.size() - 4), "d...");
  EXPECT_NE(dump.find("arg_str = \"abcd\"     NULL\n"), std::string::npos) << dump;
}

}  // namespace
