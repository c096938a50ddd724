// The built bundle in real LV2 hosts: lv2_validate passes it, lv2info shows
// every port with the tool's ranges and defaults, lv2apply's output moved back
// by the reported latency is the tool's output, and `cmake --install` puts it
// where hosts look.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <lv2/core/lv2.h>
#include <sndfile.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include "effect/NoiseReducFilter.h"
#include "lv2/VeltanePlugin.h"
#include "support/Signals.h"
#include "veltane/CommandLine.h"
#include "veltane/Tool.h"

namespace veltane::lv2 {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const std::string kBundle = VELTANE_LV2_PATH "/veltane.lv2";

struct Shell {
  int code;
  std::string out;  // stdout and stderr
};

Shell RunShell(const std::string& command) {
  Shell result{-1, {}};
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) result.out.append(chunk, got);
  const int status = ::pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool HasProgram(const std::string& name) { return RunShell("command -v " + name).code == 0; }

struct TempFolder {
  TempFolder() { ::mkdtemp(path.data()); }
  ~TempFolder() { fs::remove_all(path); }
  std::string File(const std::string& name) const { return path + "/" + name; }
  std::string path = (fs::temp_directory_path() / "veltane-lv2-XXXXXX").string();
};

class HostTest : public ::testing::Test {
 protected:
  // Hosts find the bundle in the build tree, and the LV2 specifications
  // (plugin classes, units) where Debian puts them.
  void SetUp() override { ::setenv("LV2_PATH", VELTANE_LV2_PATH ":/usr/lib/lv2", 1); }
};

// lv2info's text about each port, by index.
std::map<int, std::string> PortTexts(const std::string& info) {
  std::map<int, std::string> ports;
  for (size_t at = info.find("\tPort "); at != std::string::npos;) {
    const size_t next = info.find("\tPort ", at + 1);
    ports[std::atoi(info.c_str() + at + 6)] = info.substr(at, next - at);
    at = next;
  }
  return ports;
}

// What follows "key:" on its line of a port's text; empty when absent.
std::string Field(const std::string& port, const std::string& key) {
  const size_t at = port.find(key + ":");
  if (at == std::string::npos) return "";
  const size_t start = port.find_first_not_of(" \t", at + key.size() + 1);
  return port.substr(start, port.find('\n', start) - start);
}

float Number(const std::string& port, const std::string& key) {
  const std::string text = Field(port, key);
  return text.empty() ? NAN : std::stof(text);
}

TEST_F(HostTest, BundleValidatesAgainstTheLv2Schemas) {
  if (!HasProgram("lv2_validate") || !HasProgram("sord_validate")) GTEST_SKIP() << "lv2_validate or sord_validate missing";
  const Shell check = RunShell("lv2_validate " + kBundle + "/manifest.ttl " + kBundle + "/veltane.ttl");
  EXPECT_EQ(check.code, 0) << check.out;
  EXPECT_NE(check.out.find("Found 0 errors"), std::string::npos) << check.out;
  EXPECT_EQ(check.out.find("arning"), std::string::npos) << check.out;
}

// Every port is listed; the controls have the plugin's own ranges, and those
// are the tool's: its defaults, the bounds its options accept.
TEST_F(HostTest, Lv2infoShowsEveryPortWithTheToolsRangesAndDefaults) {
  if (!HasProgram("lv2info")) GTEST_SKIP() << "lv2info missing";
  NoiseReducFilter fresh;
  CommandLine plain;
  ASSERT_TRUE(ParseCommandLine({"in.wav", "out.wav"}, &plain).Ok());
  const auto on = [](uint32_t bit) { return (kToolDefaultOptions & bit) != 0 ? 1.0f : 0.0f; };
  struct Expected {
    uint32_t port;
    const char* option;  // the tool's option with the same range, if any
    float defaultValue;
  };
  const Expected expected[] = {
      {kEnabled, nullptr, 1.0f - on(kOptionFullBypass)},
      {kBypassDeclick, nullptr, on(kOptionBypassDeclick)},
      {kClickThreshold, "--click-threshold", fresh.GetClickThreshold()},
      {kBypassDenoise, nullptr, on(kOptionBypassDenoise)},
      {kOutputHissLevel, "--output-hiss", fresh.GetOutputHissLevel()},
      {kAutoInputHissLevel, nullptr, on(kOptionAutoInputHiss)},
      {kInputHissLevel, "--input-hiss", fresh.GetInputHissLevel()},
      {kOutputClicks, nullptr, on(kOptionOutputClicks)},
      {kEngine, nullptr, static_cast<float>(plain.options.engine)},
  };
  const auto accepts = [](const char* option, float value) {
    CommandLine parsed;
    return ParseCommandLine({option, std::to_string(value), "in.wav", "out.wav"}, &parsed).Ok();
  };
  for (uint16_t channels : {1, 2}) {
    const char* uri = channels == 1 ? kMonoUri : kStereoUri;
    const Shell info = RunShell(std::string("lv2info ") + uri);
    ASSERT_EQ(info.code, 0) << info.out;
    EXPECT_NE(info.out.find("Has latency:       yes, reported by port " + std::to_string(kLatency)), std::string::npos)
        << info.out;
    const std::map<int, std::string> ports = PortTexts(info.out);
    ASSERT_EQ(ports.size(), kFirstAudioPort + 2u * channels) << info.out;
    for (const auto& [index, port] : ports) {
      SCOPED_TRACE(port);
      const bool input = index < static_cast<int>(index < static_cast<int>(kFirstAudioPort) ? kClickMeter
                                                                                           : kFirstAudioPort + channels);
      EXPECT_NE(port.find(input ? "#InputPort" : "#OutputPort"), std::string::npos);
      if (index >= static_cast<int>(kFirstAudioPort)) {
        EXPECT_NE(port.find("#AudioPort"), std::string::npos);
        continue;
      }
      const ControlRange& range = kControlRanges[index];
      EXPECT_EQ(Field(port, "Symbol"), range.symbol);
      EXPECT_EQ(Number(port, "Minimum"), range.minimum);
      EXPECT_EQ(Number(port, "Maximum"), range.maximum);
      EXPECT_EQ(Number(port, "Default"), range.defaultValue);
    }
    EXPECT_EQ(Field(ports.at(kLatency), "Designation"), "http://lv2plug.in/ns/lv2core#latency");
    EXPECT_EQ(Field(ports.at(kEnabled), "Designation"), "http://lv2plug.in/ns/lv2core#enabled");
    for (const Expected& control : expected) {
      const std::string& port = ports.at(control.port);
      SCOPED_TRACE(port);
      EXPECT_EQ(Number(port, "Default"), control.defaultValue);
      if (control.option == nullptr) continue;
      const float minimum = Number(port, "Minimum"), maximum = Number(port, "Maximum");
      EXPECT_TRUE(accepts(control.option, minimum) && accepts(control.option, maximum));
      EXPECT_FALSE(accepts(control.option, minimum - 0.01f) || accepts(control.option, maximum + 0.01f));
    }
  }
}

// 24-bit interleaved samples (as int32 steps of 2^-23) of a WAV file.
std::vector<int32_t> ReadPcm24(const std::string& path, int* channels) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return {};
  std::vector<int32_t> samples(static_cast<size_t>(info.frames) * info.channels);
  samples.resize(static_cast<size_t>(sf_readf_int(file, samples.data(), info.frames)) * info.channels);
  sf_close(file);
  for (int32_t& s : samples) s >>= 8;
  *channels = info.channels;
  return samples;
}

// The latency the built shared object reports for a format and engine, as a
// host reads it: instantiated, its latency port read after a run of no frames.
uint32_t ReportedLatency(uint16_t channels, double rate, float engine) {
  void* library = ::dlopen(VELTANE_LV2_BINARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return 0;
  using Entry = const LV2_Descriptor* (*)(uint32_t);
  const auto entry = reinterpret_cast<Entry>(::dlsym(library, "lv2_descriptor"));
  const LV2_Descriptor* descriptor = entry(channels == 1 ? 0 : 1);
  LV2_Handle plugin = descriptor->instantiate(descriptor, rate, kBundle.c_str(), nullptr);
  float latency = 0.0f;
  descriptor->connect_port(plugin, kLatency, &latency);
  descriptor->connect_port(plugin, kEngine, &engine);
  descriptor->activate(plugin);
  descriptor->run(plugin, 0);
  descriptor->cleanup(plugin);
  ::dlclose(library);
  return static_cast<uint32_t>(latency);
}

struct MatchCase {
  const char* name;
  uint16_t channels;
  int rate;
  Args toolOptions;
  Args controls;  // lv2apply's -c pairs
};

class LvApplyTest : public HostTest, public ::testing::WithParamInterface<MatchCase> {};

// The same 24-bit recording through lv2apply and through veltane with the
// same settings: the plugin's output, moved back by the latency it reports,
// is the tool's within 24-bit rounding (lv2apply hands floats to libsndfile,
// which scales them to 24 bits by 2^23 - 1) over every frame both hold: the
// tool's first frames.
TEST_P(LvApplyTest, OutputMovedBackByTheLatencyIsTheTools) {
  if (!HasProgram("lv2apply")) GTEST_SKIP() << "lv2apply missing";
  const MatchCase& match = GetParam();
  TempFolder folder;
  std::vector<float> recording = veltane::testing::MusicLike(3 * match.rate, match.channels, match.rate);
  veltane::testing::AddWhiteHiss(recording, 0.005);
  std::vector<veltane::testing::Click> clicks;
  for (int at = match.rate / 7; at < 3 * match.rate - 100; at += match.rate / 5) clicks.push_back({uint32_t(at), 9});
  veltane::testing::AddClicks(recording, match.channels, clicks, 0.4);
  SF_INFO format{0, match.rate, match.channels, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 0, 0};
  SNDFILE* file = sf_open(folder.File("in.wav").c_str(), SFM_WRITE, &format);
  ASSERT_NE(file, nullptr);
  sf_writef_float(file, recording.data(), 3 * match.rate);
  sf_close(file);

  Args args = match.toolOptions;
  args.insert(args.end(), {"-q", folder.File("in.wav"), folder.File("tool.wav")});
  std::ostringstream out, err;
  ASSERT_EQ(RunTool(args, out, err, ToolEnvironment{false, {}}), 0) << err.str();
  std::string command = VELTANE_HOST_PRELOAD "lv2apply -i " + folder.File("in.wav") + " -o " +
                        folder.File("plugin.wav");
  for (size_t i = 0; i + 1 < match.controls.size(); i += 2) command += " -c " + match.controls[i] + " " + match.controls[i + 1];
  const Shell applied = RunShell(command + " " + (match.channels == 1 ? kMonoUri : kStereoUri));
  ASSERT_EQ(applied.code, 0) << applied.out;

  int channels = 0;
  const std::vector<int32_t> tool = ReadPcm24(folder.File("tool.wav"), &channels);
  const std::vector<int32_t> plugin = ReadPcm24(folder.File("plugin.wav"), &channels);
  ASSERT_EQ(channels, match.channels);
  ASSERT_EQ(plugin.size(), tool.size());
  const auto engine = std::find(match.controls.begin(), match.controls.end(), "engine");
  const size_t latency = ReportedLatency(match.channels, match.rate,
                                         engine == match.controls.end() ? 1.0f : std::stof(*(engine + 1)));
  ASSERT_GT(latency, 0u);
  ASSERT_LT(latency * channels, tool.size() / 2);
  size_t worst = 0;
  int32_t loudest = 0;
  for (size_t i = 0; i + latency * channels < tool.size(); ++i) {
    const int32_t difference = std::abs(plugin[i + latency * channels] - tool[i]);
    if (difference > std::abs(plugin[worst + latency * channels] - tool[worst])) worst = i;
    loudest = std::max(loudest, std::abs(tool[i]));
  }
  EXPECT_LE(std::abs(plugin[worst + latency * channels] - tool[worst]), 1)
      << "frame " << worst / channels << " of " << tool.size() / channels << ", latency " << latency;
  EXPECT_GT(loudest, 1 << 20);  // the comparison saw audio, not silence
}

INSTANTIATE_TEST_SUITE_P(
    Settings, LvApplyTest,
    ::testing::Values(
        MatchCase{"StereoDefaults", 2, 44100, {}, {}},
        MatchCase{"MonoManualHiss",
                  1,
                  96000,
                  {"--click-threshold", "6", "--output-hiss", "0.8", "--manual-hiss", "--input-hiss", "0.5"},
                  {"click_threshold", "6", "output_hiss_level", "0.8", "auto_input_hiss_level", "0",
                   "input_hiss_level", "0.5"}},
        MatchCase{"StereoClicksOnly", 2, 32000, {"--no-denoise", "--output-clicks"},
                  {"bypass_denoise", "1", "output_clicks", "1"}},
        MatchCase{"StereoClassic", 2, 48000, {"--engine", "classic"}, {"engine", "0"}},
        MatchCase{"MonoClassicManualHiss",
                  1,
                  96000,
                  {"--engine", "classic", "--click-threshold", "6", "--manual-hiss", "--input-hiss", "0.5"},
                  {"engine", "0", "click_threshold", "6", "auto_input_hiss_level", "0", "input_hiss_level", "0.5"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The install rule puts the whole bundle into a prefix, where a host finds
// both plugins.
TEST_F(HostTest, InstallPutsTheBundleWhereHostsFindIt) {
  if (!HasProgram("lv2ls")) GTEST_SKIP() << "lv2ls missing";
  if (fs::path(VELTANE_LV2_INSTALL_DIR).is_absolute()) GTEST_SKIP() << "installs to a fixed folder";
  TempFolder prefix;
  const Shell install = RunShell("\"" VELTANE_CMAKE "\" --install \"" VELTANE_BUILD_DIR "\" --component lv2 --prefix " +
                                 prefix.path);
  ASSERT_EQ(install.code, 0) << install.out;
  const std::string installed = prefix.path + "/" VELTANE_LV2_INSTALL_DIR;
  for (const char* name : {"veltane.so", "manifest.ttl", "veltane.ttl"}) {
    EXPECT_TRUE(fs::exists(installed + "/veltane.lv2/" + name)) << name;
  }
  const Shell listed = RunShell("LV2_PATH=" + installed + " lv2ls");
  EXPECT_EQ(listed.out, std::string(kMonoUri) + "\n" + kStereoUri + "\n");
}

}  // namespace
}  // namespace veltane::lv2
