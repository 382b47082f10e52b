#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

Request Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "dff2wav");
  // The Request points into its arguments: they stay until the next call.
  static std::vector<std::string> kept;
  kept = args;
  std::vector<char*> argv;
  for (std::string& arg : kept) argv.push_back(arg.data());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, ValuesFollowAsTheNextArgumentAfterEqualsOrStraightAfterAShortOption) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-f", "flac", "-j", "4", "in", "out"},
        {"--format=flac", "--jobs=4", "in", "out"},
        {"-fflac", "-j4", "in", "out"}}) {
    const Request r = Parse(args);
    EXPECT_EQ(r.action, Action::Convert);
    EXPECT_EQ(r.format, OutputFormat::Flac);
    EXPECT_EQ(r.jobs, 4);
    EXPECT_STREQ(r.in, "in");
    EXPECT_STREQ(r.out, "out");
    // A run of one file of a library is given the format again, not -j.
    ASSERT_EQ(r.file_options.size(), 2u);
    EXPECT_EQ(r.file_options[1], "flac");
  }
  // A gain below zero is the value of --gain, not an option.
  EXPECT_DOUBLE_EQ(Parse({"--gain", "-1.5", "in", "out"}).gain_db, -1.5);
  // After "--" every argument is a name; "-" alone always is one.
  const Request names = Parse({"--", "-in", "-"});
  EXPECT_STREQ(names.in, "-in");
  EXPECT_STREQ(names.out, "-");
  EXPECT_FALSE(names.options);
  EXPECT_TRUE(MayBeOriginalForm(names));
}

TEST(CommandLine, NumbersAreWrittenPlainlyAndWithinTheirRange) {
  EXPECT_EQ(Parse({"--compression", "008", "in", "out.flac"}).compression, 8);
  EXPECT_EQ(Parse({"--rate", "44100", "in", "out"}).rate, 44100u);
  EXPECT_DOUBLE_EQ(Parse({"--gain", "20", "in", "out"}).gain_db, 20.0);
  EXPECT_DOUBLE_EQ(Parse({"--gain", ".5", "in", "out"}).gain_db, 0.5);
  EXPECT_TRUE(Parse({"--gain", "auto", "in", "out"}).gain_auto);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--compression", "9"},    {"--compression", "+5"}, {"--compression", " 3"},
           {"--compression", "0x8"},  {"--bits", "20"},         {"--bits", "16x"},
           {"--rate", "44101"},       {"--rate", "4294967296"}, {"--gain", "1e1"},
           {"--gain", "inf"},         {"--gain", "-40.01"},     {"--gain", "1.2.3"},
           {"--gain", "-"},           {"-j", "0"},              {"-j", "65"},
           {"-j", "99999999999999"},  {"--tracks", "0"},        {"--tracks", "3-1"},
           {"--area", "surround"},    {"--format", "mp3"},      {"--name", ""},
           {"--split=yes"},           {"--unknown"},            {"--bits"}}) {
    std::vector<std::string> line = args;
    line.insert(line.end(), {"in", "out.flac"});
    const Request r = Parse(line);
    EXPECT_EQ(r.action, Action::BadCommandLine) << args[0] << " " << args.back();
    EXPECT_FALSE(r.problem.empty());
  }
}

TEST(CommandLine, WhatTheNamesAndOptionsMakeOfTheRun) {
  // No options and a WAV: the original form; too few names its own complaint.
  EXPECT_TRUE(MayBeOriginalForm(Parse({"in.dff", "out.wav"})));
  EXPECT_EQ(Parse({"in.dff"}).action, Action::WrongArguments);
  EXPECT_EQ(Parse({"--bits", "16", "in.dff"}).action, Action::BadCommandLine);
  // OUT's ending picks FLAC, unless --format says otherwise; a trailing '/' splits.
  EXPECT_FALSE(MayBeOriginalForm(Parse({"in.dff", "OUT.FLAC"})));
  EXPECT_EQ(Parse({"-f", "wav", "in.dff", "out.flac"}).format, OutputFormat::Wav);
  EXPECT_TRUE(Parse({"in.dff", "album/"}).split);
  EXPECT_FALSE(MayBeOriginalForm(Parse({"in.dff", "album/"})));
  EXPECT_EQ(Parse({"--split", "in.dff", "-"}).action, Action::BadCommandLine);
  EXPECT_EQ(Parse({"--bits", "32", "in.dff", "out.flac"}).action, Action::BadCommandLine);
  EXPECT_EQ(Parse({"--bits", "32", "in.dff", "out.wav"}).action, Action::Convert);
  const Request tracks = Parse({"--tracks", "4-5,1", "in.dff", "out"});
  EXPECT_TRUE(tracks.split);
  EXPECT_EQ(tracks.tracks, (std::vector<int>{1, 4, 5}));
  // --list needs IN only; --help wins over whatever follows it.
  const Request list = Parse({"--json", "in.dff"});
  EXPECT_EQ(list.action, Action::List);
  EXPECT_TRUE(list.json);
  EXPECT_EQ(Parse({"--help", "--unknown"}).action, Action::Help);
  // Every name is kept, for a run over many files.
  EXPECT_EQ(Parse({"a.dff", "-j2", "b.dsf", "c.iso", "out"}).names.size(), 4u);
}

}  // namespace
