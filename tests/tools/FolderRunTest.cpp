// Folder mode end to end: good and bad files side by side, a tree mirrored,
// outputs that exist, the same bytes whatever the number of workers, and a
// stop that leaves only complete outputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tools/ToolTestSupport.h"
#include "veltane/FolderPlan.h"

namespace veltane {
namespace {

using namespace testing_support;

// Every file below `folder`, by its path below it; hidden files included.
std::map<std::string, std::string> Files(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), folder).string()] = ReadText(entry.path());
  }
  return files;
}

// A tree of three good recordings of different formats (one in a subfolder),
// two bad ones, a text file and a hidden file that are not audio at all.
void MakeTree(const TempFolder& folder) {
  fs::create_directories(folder.File("in/side b"));
  WriteAudio(folder.File("in/a.wav"), MakeNoise(kWav16, 44100, 2, 30000, 16));
  WriteAudio(folder.File("in/side b/c.flac"), MakeNoise(kFlac16, 48000, 1, 20000, 16));
  WriteAudio(folder.File("in/d.aiff"), MakeNoise(kAiff16, 22050, 2, 9000, 16));
  std::ofstream(folder.File("in/broken.wav")) << "RIFF, but nothing of a WAV";
  std::ofstream(folder.File("in/five.wav")) << std::string(44, '\5');
  std::ofstream(folder.File("in/notes.txt")) << "side A is louder";
  std::ofstream(folder.File("in/.hidden.wav")) << "not for us";
}

TEST(FolderRunTest, RestoresTheGoodFilesAndReportsTheBadOnesWithNothingLeftBehind) {
  TempFolder folder;
  MakeTree(folder);
  const ToolRun run = RunVeltane({"-r", folder.File("in"), "-o", folder.File("out"), "-j", "2"});
  EXPECT_EQ(run.code, 5) << run.err;
  const auto outputs = Files(folder.File("out"));
  ASSERT_EQ(outputs.size(), 3u);  // nothing hidden, no output of a bad file
  EXPECT_EQ(ReadAudio(folder.File("out/a.wav")).Frames(), 30000);
  EXPECT_EQ(ReadAudio(folder.File("out/side b/c.flac")).Frames(), 20000);
  EXPECT_EQ(ReadAudio(folder.File("out/d.aiff")).Frames(), 9000);
  for (const char* bad : {"broken.wav: ", "five.wav: "}) EXPECT_NE(run.err.find(bad), std::string::npos) << run.err;
  for (const char* row : {"broken.wav", "damaged (5)", "side b/c.flac", "restored"}) {
    EXPECT_NE(run.out.find(row), std::string::npos) << run.out;
  }
  EXPECT_EQ(run.out.find("notes.txt"), std::string::npos);

  // Again: nothing is replaced, and a damaged INPUT still counts for more than an OUTPUT that exists.
  const ToolRun again = RunVeltane({"-q", "-r", folder.File("in"), "-o", folder.File("out")});
  EXPECT_EQ(again.code, 5);
  EXPECT_EQ(Files(folder.File("out")), outputs);
  EXPECT_NE(again.err.find("exists; --overwrite replaces it"), std::string::npos) << again.err;
  fs::remove(folder.File("in/broken.wav"));
  fs::remove(folder.File("in/five.wav"));
  EXPECT_EQ(RunVeltane({"-q", "-r", folder.File("in"), "-o", folder.File("out")}).code, 10);
  EXPECT_EQ(RunVeltane({"-q", "--overwrite", "-r", folder.File("in"), "-o", folder.File("out")}).code, 0);
  EXPECT_EQ(Files(folder.File("out")), outputs);
}

// Whole runs that fail, and single files whose failure is not INPUT's.
struct FolderFailure {
  const char* name;
  std::function<Args(const TempFolder&)> args;
  int code;
  const char* says;
};

class FolderFailureTest : public ::testing::TestWithParam<FolderFailure> {};

TEST_P(FolderFailureTest, ExitsWithTheRightCode) {
  TempFolder folder;
  MakeTree(folder);
  const ToolRun run = RunVeltane(GetParam().args(folder));
  EXPECT_EQ(run.code, GetParam().code) << run.err;
  EXPECT_NE(run.err.find(GetParam().says), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderFailureTest,
    ::testing::Values(
        FolderFailure{"MissingTree", [](const TempFolder& f) { return Args{"-r", f.File("nowhere"), "-o", f.File("o")}; },
                      3, "does not exist"},
        FolderFailure{"TreeWithoutAudio",
                      [](const TempFolder& f) { return Args{"-r", f.File("in/side b/c.flac"), "-o", f.File("o")}; }, 4,
                      "is not a folder"},
        FolderFailure{"TwoInputsOneName",
                      [](const TempFolder& f) {
                        fs::copy(f.File("in/a.wav"), f.File("in/side b/a.wav"));
                        return Args{f.File("in/a.wav"), f.File("in/side b/a.wav"), "-o", f.File("o")};
                      },
                      2, "would both be restored to 'a.wav'"},
        FolderFailure{"OutdirIsAFile",
                      [](const TempFolder& f) { return Args{f.File("in/a.wav"), f.File("in/d.aiff"), "-o", f.File("in/notes.txt")}; },
                      7, "cannot create the folder"},
        FolderFailure{"MissingAmongGood",
                      [](const TempFolder& f) { return Args{f.File("in/a.wav"), f.File("in/gone.wav"), "-o", f.File("o")}; }, 3,
                      "gone.wav: "},
        FolderFailure{"IntoItself", [](const TempFolder& f) { return Args{"-r", f.File("in"), "-o", f.File("in")}; }, 8,
                      "is the same file as INPUT"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FolderRunTest, OneWorkerOrFourGiveTheSameBytes) {
  TempFolder folder;
  fs::create_directory(folder.File("in"));
  Args inputs;
  for (int i = 0; i < 6; ++i) {
    const std::string name = folder.File("in/take" + std::to_string(i) + (i % 2 == 0 ? ".wav" : ".flac"));
    WriteAudio(name, MakeNoise(i % 2 == 0 ? kWav16 : kFlac16, 44100, 1 + i % 2, 15000 + 3000 * i, 16));
    inputs.push_back(name);
  }
  for (const char* jobs : {"1", "4"}) {
    Args args = inputs;
    args.insert(args.end(), {"-q", "-j", jobs, "-o", folder.File(std::string("out") + jobs)});
    ASSERT_EQ(RunVeltane(args).code, 0);
  }
  const auto one = Files(folder.File("out1"));
  EXPECT_EQ(one.size(), 6u);
  EXPECT_EQ(one, Files(folder.File("out4")));
}

// A stop while the workers run (once the short first file is out): exit 9,
// and every output present is complete, no temporary file anywhere.
TEST(FolderRunTest, AStopLeavesOnlyCompleteOutputs) {
  TempFolder folder;
  fs::create_directory(folder.File("in"));
  Args args{"-j", "2", "-o", folder.File("out")};
  for (int i = 0; i < 4; ++i) {
    args.push_back(folder.File("in/long" + std::to_string(i) + ".wav"));
    WriteAudio(args.back(), MakeNoise(kWav16, 44100, 2, (i == 0 ? 1 : 60) * 44100, 16));
  }
  const std::string first = folder.File("out/long0.wav");
  const ToolRun run = RunVeltane(args, [&first] { return fs::exists(first); });
  EXPECT_EQ(run.code, 9);
  EXPECT_NE(run.out.find("interrupted (9)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("not started (9)"), std::string::npos) << run.out;
  const auto outputs = Files(folder.File("out"));
  EXPECT_LT(outputs.size(), 4u);
  for (const auto& [name, bytes] : outputs) {
    EXPECT_EQ(ReadAudio(folder.File("out/" + name)).Frames(), name == "long0.wav" ? 44100 : 60 * 44100) << name;
  }
}

// The executable stopped by a signal to itself alone: it ends its workers, waits for them
// and exits 9; nothing is written afterwards and nothing temporary remains.
TEST(FolderRunTest, TheExecutableStopsItsWorkersOnASignal) {
  TempFolder folder;
  fs::create_directory(folder.File("in"));
  std::vector<std::string> args{VELTANE_TOOL_PATH, "-q", "-j", "2", "-o", folder.File("out")};
  for (int i = 0; i < 4; ++i) {
    args.push_back(folder.File("in/long" + std::to_string(i) + ".wav"));
    WriteAudio(args.back(), MakeNoise(kWav16, 44100, 2, (i == 0 ? 1 : 60) * 44100, 16));
  }
  const pid_t child = ::fork();
  if (child == 0) {
    const int err = ::open(folder.File("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(err, STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  for (int wait = 0; wait < 500 && !fs::exists(folder.File("out/long0.wav")); ++wait) ::usleep(10000);
  ::kill(child, SIGTERM);
  int status = 0;
  pid_t ended = 0;
  for (int wait = 0; wait < 500 && (ended = ::waitpid(child, &status, WNOHANG)) == 0; ++wait) ::usleep(10000);
  if (ended == 0) ::kill(child, SIGKILL), ::waitpid(child, &status, 0);
  ASSERT_EQ(ended, child) << "still running 5 s after the signal";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9);
  EXPECT_NE(ReadText(folder.File("stderr")).find("veltane: interrupted; only the files marked restored were written."),
            std::string::npos);
  const auto outputs = Files(folder.File("out"));
  ::usleep(300000);  // a worker left running would still write
  EXPECT_EQ(Files(folder.File("out")), outputs);
  for (const auto& [name, bytes] : outputs) {
    EXPECT_EQ(ReadAudio(folder.File("out/" + name)).Frames(), name == "long0.wav" ? 44100 : 60 * 44100) << name;
  }
}

TEST(FolderPlanTest, TakesAudioFilesByTheirEnding) {
  for (const char* name : {"a.wav", "b.FLAC", "c.aif", "d.AIFF", "e.rf64"}) EXPECT_TRUE(FolderPlan::IsAudioName(name));
  for (const char* name : {"cover.jpg", "wav", "notes.txt", "a.wav.bak"}) EXPECT_FALSE(FolderPlan::IsAudioName(name));
}

}  // namespace
}  // namespace veltane
