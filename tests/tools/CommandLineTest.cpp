// Option parsing: every line gives its settings, shown here in one short
// text, or a usage error whose sentence names the culprit.
#include <gtest/gtest.h>

#include "veltane/CommandLine.h"

namespace veltane {
namespace {

struct LineCase {
  std::vector<std::string> args;
  std::string parsed;  // as Describe gives it, or a part of the usage error
};

// "action INPUT OUTPUT Options click-threshold output-hiss input-hiss format quiet engine", "-" where unset.
std::string Describe(const CommandLine& line) {
  const auto level = [](const std::optional<float>& v) { return v ? testing::PrintToString(*v) : "-"; };
  const ToolOptions& o = line.options;
  return std::to_string(static_cast<int>(line.action)) + " " + o.input + " " + o.output + " " +
         std::to_string(o.options) + " " + level(o.clickThreshold) + " " + level(o.outputHissLevel) + " " +
         level(o.inputHissLevel) + " " + std::to_string(static_cast<int>(o.format)) + " " + std::to_string(o.quiet) +
         (o.engine == Engine::Modern ? " modern" : " classic") + (o.threads != 0 ? " j" + std::to_string(o.threads) : "");
}

class CommandLineTest : public ::testing::TestWithParam<LineCase> {};
using L = LineCase;

TEST_P(CommandLineTest, GivesTheSettingsOrNamesTheCulprit) {
  CommandLine line;
  const ToolStatus status = ParseCommandLine(GetParam().args, &line);
  const std::string shown = status.Ok() ? Describe(line) : status.message;
  EXPECT_TRUE(status.Ok() ? shown == GetParam().parsed : shown.find(GetParam().parsed) != std::string::npos) << shown;
  EXPECT_EQ(status.code, status.Ok() ? ExitCode::Ok : ExitCode::Usage);
}

// Restores by default (modern engine, automatic hiss level); the switches override --options in any
// order; a given input hiss level is meant to be used: manual; --help and --version win over the rest.
INSTANTIATE_TEST_SUITE_P(
    Lines, CommandLineTest,
    ::testing::Values(
        L{{"a", "b"}, "0 a b 16 - - - 0 0 modern"},
        L{{"--bypass", "--no-denoise", "a", "b"}, "0 a b 21 - - - 0 0 modern"},
        L{{"--output-clicks", "--manual-hiss", "--no-declick", "--options=1", "a", "b"}, "0 a b 11 - - - 0 0 modern"},
        L{{"--click-threshold", "2", "--output-hiss=1", "--options", "30", "--input-hiss", "0.5", "--format=pcm8",
           "-q", "--", "-a", "b"}, "0 -a b 14 2 1 0.5 1 1 modern"},
        L{{"--click-threshold", "99", "-h"}, "1   16 - - - 0 0 modern"},
        L{{"a", "--version"}, "2   16 - - - 0 0 modern"},
        L{{"a", "b", "c"}, "got 3 names"}, L{{"a", "b", "--output-hiss"}, "--output-hiss needs a value"},
        L{{"--click-threshold=1.99", "a", "b"}, "--click-threshold takes a number from 2 to 20, not '1.99'"},
        L{{"--input-hiss", "nan", "a", "b"}, "--input-hiss takes a number from 0 to 1, not 'nan'"},
        L{{"--options", "32", "a", "b"}, "--options takes a whole number from 0 to 31, not '32'"},
        L{{"--format", "float", "a", "b"}, "--format takes pcm8, pcm16 or pcm24"},
        L{{"--bypass=1", "a", "b"}, "--bypass takes no value"}, L{{"-x", "a", "b"}, "unknown option"},
        L{{"--auto-hiss", "--input-hiss", "0.2", "a", "b"}, "cannot go with --auto-hiss"},
        L{{"--engine", "classic", "a", "b"}, "0 a b 16 - - - 0 0 classic"},
        L{{"--engine=modern", "a", "b"}, "0 a b 16 - - - 0 0 modern"},
        L{{"--engine", "new", "a", "b"}, "--engine takes modern or classic, not 'new'"},
        L{{"-j", "2", "a", "b"}, "0 a b 16 - - - 0 0 modern j2"}, L{{"--overwrite", "a", "b"}, "--overwrite goes with -o"},
        L{{"-r", "in", "a", "-o", "out"}, "either INPUT files or -r INDIR"}, L{{"-o", "out"}, "expected INPUT files"},
        L{{"-j", "0", "-o", "out", "a"}, "-j takes a whole number from 1 to 64, not '0'"},
        L{{"a", "-o"}, "-o needs a value"}));

// Folder mode: its own fields, the restoration settings as in the single-file form.
TEST(CommandLineFolderTest, TakesInputsOrATree) {
  CommandLine line;
  ASSERT_TRUE(ParseCommandLine({"a", "--no-denoise", "b", "-o", "out", "-j", "3", "--spectrogram=p.png"}, &line).Ok());
  ASSERT_TRUE(line.folder.has_value());
  EXPECT_EQ(line.folder->inputs, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(line.folder->outDir, "out");
  EXPECT_EQ(line.folder->jobs, 3u);
  EXPECT_EQ(Describe(line), "0   20 - - - 0 0 modern j3");
  EXPECT_EQ(line.options.spectrogram, "p.png");
  ASSERT_TRUE(ParseCommandLine({"--overwrite", "-r", "tree", "-o", "out"}, &line).Ok());
  EXPECT_TRUE(line.folder->inputs.empty());
  EXPECT_EQ(line.folder->tree, "tree");
  EXPECT_TRUE(line.folder->overwrite);
  EXPECT_EQ(line.folder->jobs, 0u);
}

}  // namespace
}  // namespace veltane
