// Option parsing: the switches and levels reach the right settings, and
// every malformed line is refused as a usage error naming the culprit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "veltane/CommandLine.h"

namespace veltane {
namespace {

using Args = std::vector<std::string>;

CommandLine Parsed(Args args) {
  CommandLine line;
  const ToolStatus status = ParseCommandLine(args, &line);
  EXPECT_TRUE(status.Ok()) << status.message;
  return line;
}

TEST(CommandLineTest, RestoresByDefaultWithTheEffectsOwnLevels) {
  const CommandLine line = Parsed({"in.wav", "out.wav"});
  EXPECT_EQ(line.action, ToolAction::Restore);
  EXPECT_EQ(line.options.input, "in.wav");
  EXPECT_EQ(line.options.output, "out.wav");
  EXPECT_EQ(line.options.options, 16u);  // declick and denoise on, automatic hiss level
  EXPECT_FALSE(line.options.clickThreshold);
  EXPECT_FALSE(line.options.outputHissLevel);
  EXPECT_FALSE(line.options.inputHissLevel);
  EXPECT_EQ(line.options.format, OutputSampleFormat::KeepInput);
  EXPECT_FALSE(line.options.quiet);
}

struct SwitchCase {
  Args args;
  uint32_t options;
};

class CommandLineSwitchTest : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(CommandLineSwitchTest, GiveTheOptionsBits) {
  Args args = GetParam().args;
  args.insert(args.end(), {"in.wav", "out.wav"});
  EXPECT_EQ(Parsed(args).options.options, GetParam().options);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CommandLineSwitchTest,
    ::testing::Values(SwitchCase{{"--bypass"}, 17}, SwitchCase{{"--no-declick"}, 18},
                      SwitchCase{{"--no-denoise"}, 20}, SwitchCase{{"--output-clicks"}, 24},
                      SwitchCase{{"--manual-hiss"}, 0}, SwitchCase{{"--auto-hiss"}, 16},
                      SwitchCase{{"--no-declick", "--no-denoise"}, 22},
                      // --options sets all five; switches override its bits in any order.
                      SwitchCase{{"--options", "7"}, 7}, SwitchCase{{"--options=23"}, 23},
                      SwitchCase{{"--options", "0"}, 0}, SwitchCase{{"--options", "31"}, 31},
                      SwitchCase{{"--no-denoise", "--options", "1"}, 5},
                      SwitchCase{{"--options", "31", "--manual-hiss"}, 15},
                      SwitchCase{{"--options", "0", "--auto-hiss"}, 16},
                      // A given input hiss level is meant to be used: manual.
                      SwitchCase{{"--input-hiss", "0.5"}, 0},
                      SwitchCase{{"--options", "30", "--input-hiss", "0.5"}, 14}));

TEST(CommandLineTest, TakesLevelsInBothSpellingsAndAtTheirBounds) {
  const CommandLine line = Parsed({"--click-threshold", "2", "--output-hiss=1", "--input-hiss", "0", "a", "b"});
  EXPECT_FLOAT_EQ(*line.options.clickThreshold, 2.0f);
  EXPECT_FLOAT_EQ(*line.options.outputHissLevel, 1.0f);
  EXPECT_FLOAT_EQ(*line.options.inputHissLevel, 0.0f);
  EXPECT_FLOAT_EQ(*Parsed({"--click-threshold=20", "a", "b"}).options.clickThreshold, 20.0f);
  EXPECT_FLOAT_EQ(*Parsed({"--output-hiss", "0.25", "a", "b"}).options.outputHissLevel, 0.25f);
}

TEST(CommandLineTest, TakesFormatsQuietAndDashedFileNamesAfterDoubleDash) {
  EXPECT_EQ(Parsed({"--format", "pcm8", "a", "b"}).options.format, OutputSampleFormat::Pcm8);
  EXPECT_EQ(Parsed({"--format=pcm16", "a", "b"}).options.format, OutputSampleFormat::Pcm16);
  EXPECT_EQ(Parsed({"--format", "pcm24", "a", "b"}).options.format, OutputSampleFormat::Pcm24);
  EXPECT_TRUE(Parsed({"-q", "a", "b"}).options.quiet);
  EXPECT_TRUE(Parsed({"a", "--quiet", "b"}).options.quiet);
  const CommandLine dashed = Parsed({"--", "-in.wav", "--out.wav"});
  EXPECT_EQ(dashed.options.input, "-in.wav");
  EXPECT_EQ(dashed.options.output, "--out.wav");
  EXPECT_EQ(Parsed({"-", "b"}).options.input, "-");
}

TEST(CommandLineTest, HelpAndVersionWinOverEverythingElse) {
  EXPECT_EQ(Parsed({"--help"}).action, ToolAction::ShowHelp);
  EXPECT_EQ(Parsed({"--click-threshold", "99", "-h"}).action, ToolAction::ShowHelp);
  EXPECT_EQ(Parsed({"--version", "extra"}).action, ToolAction::ShowVersion);
}

TEST(CommandLineTest, HelpListsEveryOptionAndExitCode) {
  const std::string help = HelpText();
  for (const char* word : {"--click-threshold", "--output-hiss", "--input-hiss", "--auto-hiss", "--manual-hiss",
                           "--no-declick", "--no-denoise", "--output-clicks", "--bypass", "--options", "--format",
                           "--quiet", "--help", "--version", "Exit codes"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
  for (int code = 0; code <= 9; ++code) {
    EXPECT_NE(help.find("  " + std::to_string(code) + "  "), std::string::npos) << code;
  }
}

struct UsageCase {
  Args args;
  std::string message;  // a part of the one sentence
};

class CommandLineUsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CommandLineUsageTest, IsRefusedWithAUsageError) {
  CommandLine line;
  const ToolStatus status = ParseCommandLine(GetParam().args, &line);
  EXPECT_EQ(status.code, ExitCode::Usage);
  EXPECT_NE(status.message.find(GetParam().message), std::string::npos) << status.message;
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, CommandLineUsageTest,
    ::testing::Values(UsageCase{{}, "expected an INPUT and an OUTPUT"},
                      UsageCase{{"only.wav"}, "expected an INPUT and an OUTPUT"},
                      UsageCase{{"a", "b", "c"}, "got 3 names"},
                      UsageCase{{"--click-threshold", "1.99", "a", "b"}, "--click-threshold takes a number from 2 to 20"},
                      UsageCase{{"--click-threshold", "20.01", "a", "b"}, "not '20.01'"},
                      UsageCase{{"--click-threshold", "nan", "a", "b"}, "not 'nan'"},
                      UsageCase{{"--click-threshold", "5x", "a", "b"}, "not '5x'"},
                      UsageCase{{"--click-threshold=", "a", "b"}, "not ''"},
                      UsageCase{{"--output-hiss", "-0.1", "a", "b"}, "--output-hiss takes a number from 0 to 1"},
                      UsageCase{{"--input-hiss", "1.5", "a", "b"}, "--input-hiss takes a number from 0 to 1"},
                      UsageCase{{"--options", "32", "a", "b"}, "--options takes a whole number from 0 to 31"},
                      UsageCase{{"--options", "16.9", "a", "b"}, "not '16.9'"},
                      UsageCase{{"--options", "-1", "a", "b"}, "not '-1'"},
                      UsageCase{{"--format", "float", "a", "b"}, "--format takes pcm8, pcm16 or pcm24"},
                      UsageCase{{"a", "b", "--output-hiss"}, "--output-hiss needs a value"},
                      UsageCase{{"--bypass=1", "a", "b"}, "--bypass takes no value"},
                      UsageCase{{"--frobnicate", "a", "b"}, "unknown option '--frobnicate'"},
                      UsageCase{{"-x", "a", "b"}, "unknown option '-x'"},
                      UsageCase{{"--auto-hiss", "--manual-hiss", "a", "b"}, "contradict"},
                      UsageCase{{"--auto-hiss", "--input-hiss", "0.2", "a", "b"}, "cannot go with --auto-hiss"}));

}  // namespace
}  // namespace veltane
