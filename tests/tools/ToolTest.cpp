// The veltane command end to end on files made here: round trips through
// every container, width, layout and rate; format choices; every error
// path with its message, its exit code and no OUTPUT left behind; and the
// real executable's streams, exit codes and signal handling.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "TestAudio.h"

namespace veltane::test {
namespace {

int EightBitFor(int major) { return major == SF_FORMAT_WAV ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_S8; }

int SubFor(int major, uint32_t bits) {
  return bits == 8 ? EightBitFor(major) : bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24;
}

std::string ExtensionFor(int major) {
  return major == SF_FORMAT_WAV ? "wav" : major == SF_FORMAT_FLAC ? "flac" : "aiff";
}

// Lag (output against input, in frames) at which channel 0 of the two
// correlate best, within +-maxLag, and that correlation normalised to 1.
std::pair<int, double> CorrelationPeak(const Audio& in, const Audio& out, int maxLag) {
  const int64_t frames = std::min(in.Frames(), out.Frames());
  int bestLag = 0;
  double best = -2.0;
  for (int lag = -maxLag; lag <= maxLag; ++lag) {
    double cross = 0.0, inEnergy = 0.0, outEnergy = 0.0;
    for (int64_t n = maxLag; n < frames - maxLag; ++n) {
      const double x = in.samples[static_cast<size_t>(n * in.channels)];
      const double y = out.samples[static_cast<size_t>((n + lag) * out.channels)];
      cross += x * y;
      inEnergy += x * x;
      outEnergy += y * y;
    }
    const double normalised = cross / std::sqrt(std::max(inEnergy * outEnergy, 1e-300));
    if (normalised > best) {
      best = normalised;
      bestLag = lag;
    }
  }
  return {bestLag, best};
}

using RoundTripCase = std::tuple<int /*major*/, uint32_t /*bits*/, int /*channels*/, int /*rate*/>;

class ToolRoundTripTest : public ::testing::TestWithParam<RoundTripCase> {
 protected:
  TempFolder folder;
};

TEST_P(ToolRoundTripTest, KeepsLengthFormatAndAlignment) {
  const auto [major, bits, channels, rate] = GetParam();
  const std::string extension = ExtensionFor(major);
  const std::string input = folder.File("in." + extension);
  // An odd length, so that the end falls inside a chain buffer. The
  // reference is the file as libsndfile reads it back.
  WriteAudio(input, MakeNoise(major | SubFor(major, bits), rate, channels, rate * 3 / 10 + 37, bits, 11));
  const Audio original = ReadAudio(input);

  // Full bypass: sample for sample.
  const std::string bypassed = folder.File("bypassed." + extension);
  ToolRun run = RunVeltane({"--bypass", input, bypassed});
  ASSERT_EQ(run.code, 0) << run.err;
  Audio out = ReadAudio(bypassed);
  EXPECT_EQ(out.format, original.format);
  EXPECT_EQ(out.sampleRate, rate);
  EXPECT_EQ(out.channels, channels);
  EXPECT_EQ(out.Frames(), original.Frames());
  EXPECT_TRUE(out.samples == original.samples) << "bypass changed the audio";

  // Through the chain with both restorers bypassed: only the band
  // splitting's own small delay may remain.
  const std::string through = folder.File("through." + extension);
  run = RunVeltane({"--no-declick", "--no-denoise", input, through});
  ASSERT_EQ(run.code, 0) << run.err;
  out = ReadAudio(through);
  EXPECT_EQ(out.format, original.format);
  ASSERT_EQ(out.Frames(), original.Frames());
  const auto [lag, peak] = CorrelationPeak(original, out, 8);
  EXPECT_LE(std::abs(lag), 2) << "peak correlation " << peak;
  EXPECT_GT(peak, 0.5);

  // Restored with the defaults: same length and format.
  const std::string restored = folder.File("restored." + extension);
  run = RunVeltane({"--quiet", input, restored});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(run.out.empty());
  out = ReadAudio(restored);
  EXPECT_EQ(out.format, original.format);
  EXPECT_EQ(out.Frames(), original.Frames());
}

INSTANTIATE_TEST_SUITE_P(Formats, ToolRoundTripTest,
                         ::testing::Combine(::testing::Values(SF_FORMAT_WAV, SF_FORMAT_FLAC, SF_FORMAT_AIFF),
                                            ::testing::Values(8u, 16u, 24u), ::testing::Values(1, 2),
                                            ::testing::Values(22050, 44100, 48000, 96000)));

class ToolFormatTest : public ::testing::Test {
 protected:
  TempFolder folder;
};

TEST_F(ToolFormatTest, FloatAnd32BitInputIsRestoredAt24BitsAndKeepsItsFormat) {
  for (const int sub : {SF_FORMAT_FLOAT, SF_FORMAT_PCM_32}) {
    SCOPED_TRACE(sub);
    const std::string input = folder.File("wide.wav");
    const Audio original = MakeNoise(SF_FORMAT_WAV | sub, 44100, 2, 20000, 32, 5);
    WriteAudio(input, original);
    const std::string output = folder.File("wide-out.wav");
    const ToolRun run = RunVeltane({"--bypass", input, output});
    ASSERT_EQ(run.code, 0) << run.err;
    const Audio out = ReadAudio(output);
    EXPECT_EQ(out.format, original.format);
    ASSERT_EQ(out.Frames(), original.Frames());
    const Audio again = ReadAudio(input);  // as libsndfile hands the input back
    int64_t worst = 0;
    for (size_t i = 0; i < out.samples.size(); ++i) {
      worst = std::max<int64_t>(worst, std::llabs(int64_t{out.samples[i]} - again.samples[i]));
    }
    // Half a 24-bit step (128) for 32-bit PCM; libsndfile's float scaling
    // adds up to as much again when it reads float files as integers.
    EXPECT_LE(worst, sub == SF_FORMAT_FLOAT ? 512 : 128);
  }
}

TEST_F(ToolFormatTest, FormatOptionRoundsToTheWidthAsked) {
  const std::string input = folder.File("in.wav");
  const Audio original = MakeNoise(SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100, 1, 5000, 24, 3);
  WriteAudio(input, original);
  const std::string output = folder.File("out.wav");
  ASSERT_EQ(RunVeltane({"--bypass", "--format", "pcm16", input, output}).code, 0);
  const Audio out = ReadAudio(output);
  EXPECT_EQ(out.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  ASSERT_EQ(out.Frames(), original.Frames());
  for (size_t i = 0; i < out.samples.size(); ++i) {
    const double exact = original.samples[i] / 65536.0;
    ASSERT_LE(std::abs(out.samples[i] / 65536.0 - exact), 0.5) << i;
  }
  ASSERT_EQ(RunVeltane({"--bypass", "--format=pcm8", input, output}).code, 0);
  EXPECT_EQ(ReadAudio(output).format, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
}

TEST_F(ToolFormatTest, ContainerFollowsOutputNameOrElseTheInput) {
  const std::string input = folder.File("in.wav");
  WriteAudio(input, MakeNoise(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 3000, 16, 1));
  ASSERT_EQ(RunVeltane({input, folder.File("out.FLAC")}).code, 0);
  EXPECT_EQ(ReadAudio(folder.File("out.FLAC")).format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  ASSERT_EQ(RunVeltane({input, folder.File("out.aif")}).code, 0);
  EXPECT_EQ(ReadAudio(folder.File("out.aif")).format, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
  ASSERT_EQ(RunVeltane({input, folder.File("restored.take2")}).code, 0);
  EXPECT_EQ(ReadAudio(folder.File("restored.take2")).format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);

  // FLAC holds no floats: a float input comes out as 24-bit PCM there.
  const std::string floats = folder.File("floats.wav");
  WriteAudio(floats, MakeNoise(SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 1, 3000, 24, 2));
  ASSERT_EQ(RunVeltane({floats, folder.File("floats.flac")}).code, 0);
  EXPECT_EQ(ReadAudio(folder.File("floats.flac")).format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
}

TEST_F(ToolFormatTest, OddLength8BitMonoAiffReadsBackWithItsOwnLength) {
  for (const int64_t frames : {int64_t{1}, int64_t{4095}, int64_t{30001}}) {
    const std::string input = folder.File("odd.wav");
    WriteAudio(input, MakeNoise(SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 44100, 1, frames, 8, 7));
    const std::string output = folder.File("odd.aiff");
    ASSERT_EQ(RunVeltane({"--bypass", input, output}).code, 0);
    const Audio out = ReadAudio(output);
    EXPECT_EQ(out.format, SF_FORMAT_AIFF | SF_FORMAT_PCM_S8);
    EXPECT_EQ(out.Frames(), frames);
    EXPECT_TRUE(out.samples == ReadAudio(input).samples);
  }
}

TEST_F(ToolFormatTest, EmptyInputGivesEmptyOutput) {
  const std::string input = folder.File("empty.wav");
  WriteAudio(input, Audio{SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, {}});
  const ToolRun run = RunVeltane({input, folder.File("out.wav")});
  ASSERT_EQ(run.code, 0) << run.err;
  const Audio out = ReadAudio(folder.File("out.wav"));
  EXPECT_EQ(out.channels, 2);
  EXPECT_EQ(out.Frames(), 0);
}

TEST_F(ToolFormatTest, ReplacesAnExistingOutputKeepingItsPermissions) {
  const std::string input = folder.File("in.wav");
  const std::string output = folder.File("out.wav");
  WriteAudio(input, MakeNoise(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 3000, 16, 4));
  WriteText(output, "old");
  ASSERT_EQ(::chmod(output.c_str(), 0640), 0);
  ASSERT_EQ(RunVeltane({input, output}).code, 0);
  EXPECT_EQ(ReadAudio(output).Frames(), 3000);
  struct stat info {};
  ASSERT_EQ(::stat(output.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(folder.Names(), (std::vector<std::string>{"in.wav", "out.wav"}));
}

TEST_F(ToolFormatTest, SummaryGivesDurationSpeedAndClickPeak) {
  const std::string input = folder.File("in.wav");
  WriteAudio(input, MakeNoise(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2, 72000, 16, 6));
  const ToolRun run = RunVeltane({input, folder.File("out.wav")});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("1.50 s (48000 Hz, stereo, 16-bit PCM WAV)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("times real time"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("click meter  peak "), std::string::npos) << run.out;
  EXPECT_TRUE(run.err.empty()) << "no progress bar off a terminal: " << run.err;
}

// Every failure: its exit code, its sentence on stderr, and the folder as it
// was before (no OUTPUT, no temporary file).
class ToolErrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    input = folder.File("in.wav");
    output = folder.File("out.wav");
    WriteAudio(input, MakeNoise(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 30000, 16, 9));
  }

  void ExpectFailure(const std::vector<std::string>& args, int code, const std::string& message,
                     std::function<bool()> stop = {}) {
    const std::vector<std::string> before = folder.Names();
    const ToolRun run = RunVeltane(args, std::move(stop));
    EXPECT_EQ(run.code, code) << run.err;
    EXPECT_EQ(run.err.rfind("veltane: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << "one sentence: " << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_EQ(folder.Names(), before);
  }

  TempFolder folder;
  std::string input;
  std::string output;
};

TEST_F(ToolErrorTest, BadArgumentsAreUsageErrors) {
  ExpectFailure({input}, 2, "expected an INPUT and an OUTPUT");
  ExpectFailure({"--click-threshold", "30", input, output}, 2, "--click-threshold takes a number from 2 to 20");
}

TEST_F(ToolErrorTest, MissingInput) {
  ExpectFailure({folder.File("nothing.wav"), output}, 3, "does not exist");
  ExpectFailure({folder.File("in.wav/inside.wav"), output}, 3, "does not exist");
}

TEST_F(ToolErrorTest, UnreadableInput) {
  std::filesystem::create_directory(folder.File("dir.wav"));
  ExpectFailure({folder.File("dir.wav"), output}, 4, "is a directory");
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their permissions";
  ASSERT_EQ(::chmod(input.c_str(), 0), 0);
  ExpectFailure({input, output}, 4, "Permission denied");
}

TEST_F(ToolErrorTest, CorruptInput) {
  WriteText(folder.File("notes.wav"), "These are not the samples you are looking for.\n");
  ExpectFailure({folder.File("notes.wav"), output}, 5, "not an audio file veltane can read");
  // A WAV cut off inside its header.
  WriteText(folder.File("cut.wav"), ReadText(input).substr(0, 30));
  ExpectFailure({folder.File("cut.wav"), output}, 5, "or it is damaged");
  WriteText(folder.File("zero.wav"), "");
  ExpectFailure({folder.File("zero.wav"), output}, 5, "or it is damaged");
  // Cut off inside the audio: libsndfile would read what is left without a word.
  WriteText(folder.File("short.wav"), ReadText(input).substr(0, 60001));
  ExpectFailure({folder.File("short.wav"), output}, 5, "is damaged: it is cut off, 60043 bytes short");
}

TEST_F(ToolErrorTest, MoreThanTwoChannelsAreUnsupported) {
  const std::string surround = folder.File("surround.wav");
  WriteAudio(surround, MakeNoise(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 6, 1000, 16, 2));
  ExpectFailure({surround, output}, 6, "has 6 channels; veltane restores mono and stereo recordings only");
  WriteAudio(surround, MakeNoise(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 3, 1000, 16, 2));
  ExpectFailure({surround, output}, 6, "has 3 channels");
}

TEST_F(ToolErrorTest, FormatTheOutputCannotHold) {
  // libsndfile's format check lets FLAC at 700 kHz through; opening it does not.
  const std::string fast = folder.File("fast.wav");
  WriteAudio(fast, MakeNoise(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 700000, 1, 1000, 16, 2));
  ExpectFailure({fast, folder.File("fast.flac")}, 6, "cannot write 16-bit PCM FLAC at 700000 Hz for");
}

TEST_F(ToolErrorTest, UnwritableOutput) {
  ExpectFailure({input, folder.File("missing/out.wav")}, 7, "does not exist");
  std::filesystem::create_directory(folder.File("taken.wav"));
  ExpectFailure({input, folder.File("taken.wav")}, 7, "is a directory");
  if (::geteuid() == 0) GTEST_SKIP() << "root writes files whatever their permissions";
  WriteText(output, "protected");
  ASSERT_EQ(::chmod(output.c_str(), 0444), 0);
  ExpectFailure({input, output}, 7, "write-protected");
  EXPECT_EQ(ReadText(output), "protected");
  std::filesystem::create_directory(folder.File("locked"));
  ASSERT_EQ(::chmod(folder.File("locked").c_str(), 0555), 0);
  ExpectFailure({input, folder.File("locked/out.wav")}, 7, "Permission denied");
}

TEST_F(ToolErrorTest, OutputEqualToInputIsRefusedUnderAnyName) {
  const std::string original = ReadText(input);
  ExpectFailure({input, input}, 8, "is the same file as INPUT");
  ExpectFailure({input, folder.Path() + "/./in.wav"}, 8, "is the same file as INPUT");
  ASSERT_EQ(::symlink(input.c_str(), folder.File("alias.wav").c_str()), 0);
  ExpectFailure({input, folder.File("alias.wav")}, 8, "is the same file as INPUT");
  ASSERT_EQ(::link(input.c_str(), folder.File("hard.wav").c_str()), 0);
  ExpectFailure({folder.File("hard.wav"), input}, 8, "is the same file as INPUT");
  EXPECT_EQ(ReadText(input), original);
}

TEST_F(ToolErrorTest, InterruptedRunLeavesAnExistingOutputAsItWas) {
  int polls = 0;
  ExpectFailure({input, output}, 9, "interrupted", [&polls] { return ++polls > 2; });
  WriteText(output, "earlier result");
  polls = 0;
  ExpectFailure({input, output}, 9, "interrupted", [&polls] { return ++polls > 2; });
  EXPECT_EQ(ReadText(output), "earlier result");
  // A failure before any output is made leaves it alone too.
  ExpectFailure({folder.File("nothing.wav"), output}, 3, "does not exist");
  EXPECT_EQ(ReadText(output), "earlier result");
}

// The real executable: its streams, its exit codes and Ctrl-C.
class ToolExecutableTest : public ::testing::Test {
 protected:
  struct Finished {
    int code = -1;
    std::string out;
    std::string err;
  };

  // fileSizeLimit (bytes, 0 for none) stands in for a full disk.
  pid_t Start(const std::vector<std::string>& args, rlim_t fileSizeLimit = 0) {
    const std::string outPath = folder.File("stdout.txt");
    const std::string errPath = folder.File("stderr.txt");
    std::vector<std::string> all = {VELTANE_TOOL_PATH};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t child = ::fork();
    if (child == 0) {
      const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(err, STDERR_FILENO);
      const struct rlimit limit = {fileSizeLimit, fileSizeLimit};
      if (fileSizeLimit > 0) ::setrlimit(RLIMIT_FSIZE, &limit);
      std::vector<char*> argv;
      for (std::string& arg : all) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    return child;
  }

  Finished Wait(pid_t child) {
    Finished finished;
    int status = 0;
    ::waitpid(child, &status, 0);
    finished.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    finished.out = ReadText(folder.File("stdout.txt"));
    finished.err = ReadText(folder.File("stderr.txt"));
    return finished;
  }

  Finished Run(const std::vector<std::string>& args) { return Wait(Start(args)); }

  TempFolder folder;
};

TEST_F(ToolExecutableTest, HelpVersionAndErrorsGoToTheirStreamsWithTheirCodes) {
  Finished run = Run({"--help"});
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.out.rfind("Usage: veltane [options] INPUT OUTPUT", 0), 0u);
  run = Run({"--version"});
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.out.rfind("veltane ", 0), 0u);
  run = Run({folder.File("nothing.wav"), folder.File("out.wav")});
  EXPECT_EQ(run.code, 3);
  EXPECT_TRUE(run.out.empty());
  EXPECT_NE(run.err.find("does not exist"), std::string::npos);
  run = Run({"--bogus"});
  EXPECT_EQ(run.code, 2);
}

TEST_F(ToolExecutableTest, RestoresWithASummaryAndNoProgressBarOffATerminal) {
  const std::string input = folder.File("in.flac");
  WriteAudio(input, MakeNoise(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 44100, 16, 8));
  const Finished run = Run({input, folder.File("out.flac")});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("Restored '"), std::string::npos);
  EXPECT_TRUE(run.err.empty()) << run.err;
  EXPECT_EQ(ReadAudio(folder.File("out.flac")).Frames(), 44100);
}

TEST_F(ToolExecutableTest, AFullDiskEndsTheRunWithoutOutput) {
  const std::string input = folder.File("in.wav");
  WriteAudio(input, MakeNoise(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 441000, 16, 8));
  ::mkdir(folder.File("disk").c_str(), 0700);
  const Finished run = Wait(Start({input, folder.File("disk/out.wav")}, 100000));
  EXPECT_EQ(run.code, 7) << run.err;
  EXPECT_NE(run.err.find("cannot write '" + folder.File("disk/out.wav") + "': File too large."), std::string::npos)
      << run.err;
  EXPECT_TRUE(std::filesystem::is_empty(folder.File("disk")));
}

TEST_F(ToolExecutableTest, CtrlCEndsTheRunWithoutOutput) {
  // A recording that never ends: a WAV header followed by audio for as long
  // as the test keeps writing into a named pipe.
  const std::string pipe = folder.File("live.wav");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const pid_t child = Start({pipe, folder.File("out.wav")});
  const int fd = ::open(pipe.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  std::string header = ReadText([&] {
    const std::string sample = folder.File("sample.wav");
    WriteAudio(sample, MakeNoise(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 0, 16, 1));
    return sample;
  }());
  // Announce far more data than will come.
  const uint32_t huge = 0x7FFFFF00;
  std::memcpy(header.data() + 4, &huge, 4);
  std::memcpy(header.data() + header.size() - 4, &huge, 4);
  ASSERT_EQ(::write(fd, header.data(), header.size()), static_cast<ssize_t>(header.size()));
  const std::vector<char> audio(44100 * 4, 1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(::write(fd, audio.data(), audio.size()), static_cast<ssize_t>(audio.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(::kill(child, SIGINT), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ::close(fd);
  ::unlink(folder.File("sample.wav").c_str());
  const Finished run = Wait(child);
  EXPECT_EQ(run.code, 9) << run.err;
  EXPECT_NE(run.err.find("interrupted"), std::string::npos) << run.err;
  EXPECT_EQ(folder.Names(), (std::vector<std::string>{"live.wav", "stderr.txt", "stdout.txt"}));
}

}  // namespace
}  // namespace veltane::test
