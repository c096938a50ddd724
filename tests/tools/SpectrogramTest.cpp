// The restoration's picture: a PNG of the announced size, read back with
// libpng; each signal in its own panel; the clicks of a recording with known
// click positions marked on the strip, and little else.
#include <gtest/gtest.h>
#include <png.h>

#include "tools/ToolTestSupport.h"
#include "veltane/Spectrogram.h"

namespace veltane {
namespace {

using namespace testing_support;

struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  const uint8_t* At(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
  bool IsClickMark(int x, int y) const { return At(x, y)[0] > 200 && At(x, y)[1] < 80; }
  int Brightness(int x, int y) const { return At(x, y)[0] + At(x, y)[1] + At(x, y)[2]; }
};

Picture ReadPng(const std::string& path) {  // 0 x 0 when it does not decode
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Picture picture;
  if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return picture;
  image.format = PNG_FORMAT_RGB;
  picture.rgb.resize(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr) == 0) return picture;
  picture.width = static_cast<int>(image.width);
  picture.height = static_cast<int>(image.height);
  return picture;
}

// The row of a panel (0 input, 1 output, 2 removed) nearest `hz`.
int PanelRow(int panel, double hz, double rate) {
  const int top = Spectrogram::kTop + panel * (Spectrogram::kTitle + Spectrogram::kPanel + Spectrogram::kGap) +
                  Spectrogram::kTitle;
  return top + Spectrogram::kPanel - 1 - static_cast<int>(hz / (rate / 2) * Spectrogram::kPanel);
}

// A tone that is input only (the output silent): bright at its frequency in
// the input and removed panels, dark in the output panel and away from it.
TEST(SpectrogramTest, ShowsEachSignalInItsOwnPanel) {
  TempFolder folder;
  constexpr double kRate = 44100.0, kTone = 5000.0;
  Spectrogram spectrogram(44100, 2);
  std::vector<float> tone(2 * 44100), silence(2 * 44100, 0.0f);
  for (size_t n = 0; n < 44100; ++n) tone[2 * n] = tone[2 * n + 1] = 0.5f * std::sin(2 * M_PI * kTone * n / kRate);
  for (int second = 0; second < 3; ++second) {
    spectrogram.AddInput(tone.data(), 44100);
    spectrogram.AddOutput(silence.data(), 44100);
  }
  ASSERT_TRUE(spectrogram.Write(folder.File("p.png"), {}).Ok());
  const Picture picture = ReadPng(folder.File("p.png"));
  ASSERT_EQ(std::tie(picture.width, picture.height), std::tie(Spectrogram::kWidth, Spectrogram::kHeight));
  for (int x : {Spectrogram::kLeft + 10, Spectrogram::kLeft + 500, Spectrogram::kLeft + 990}) {
    EXPECT_GT(picture.Brightness(x, PanelRow(0, kTone, kRate)), 400) << x;
    EXPECT_GT(picture.Brightness(x, PanelRow(2, kTone, kRate)), 400) << x;
    EXPECT_EQ(picture.Brightness(x, PanelRow(1, kTone, kRate)), 0) << x;
    EXPECT_LT(picture.Brightness(x, PanelRow(0, 15000.0, kRate)), 150) << x;
  }
}

// Low noise with five strong clicks: the strip marks every click, in both
// engines and in folder mode (whose pictures are named after each file),
// and marks little else.
TEST(SpectrogramTest, MarksTheRepairedClicksOnTheStrip) {
  TempFolder folder;
  constexpr int64_t kFrames = 5 * 44100;
  const std::vector<int64_t> clicks{20000, 61000, 100000, 150500, 201000};
  Audio audio = MakeNoise(kWav16, 44100, 1, kFrames, 16);
  for (int32_t& sample : audio.samples) sample /= 64;
  for (int64_t at : clicks) {
    for (int64_t k = 0; k < 6; ++k) audio.samples[at + k] = (k % 2 == 0 ? 1 : -1) * 0x60000000;
  }
  WriteAudio(folder.File("clicks.wav"), audio);
  const auto check = [&](const std::string& path) {
    const Picture picture = ReadPng(path);
    ASSERT_EQ(std::tie(picture.width, picture.height), std::tie(Spectrogram::kWidth, Spectrogram::kHeight)) << path;
    const int y = Spectrogram::kStripTop + Spectrogram::kStrip / 2;
    for (int64_t at : clicks) {
      const int x = Spectrogram::kLeft + Spectrogram::ColumnOf(static_cast<uint64_t>(at), kFrames);
      EXPECT_TRUE(picture.IsClickMark(x, y) || picture.IsClickMark(x - 1, y) || picture.IsClickMark(x + 1, y))
          << path << ": no mark at frame " << at;
    }
    int marked = 0;
    for (int x = Spectrogram::kLeft; x < Spectrogram::kLeft + Spectrogram::kPlotWidth; ++x) marked += picture.IsClickMark(x, y);
    EXPECT_LT(marked, 40) << path;
  };
  for (const char* engine : {"modern", "classic"}) {
    const std::string png = folder.File(std::string(engine) + ".png");
    ASSERT_EQ(RunVeltane({"-q", "--engine", engine, "--spectrogram", png, folder.File("clicks.wav"),
                          folder.File(std::string(engine) + ".wav")}).code, 0);
    check(png);
  }
  ASSERT_EQ(RunVeltane({"-q", "--spectrogram", folder.File("pics/run.png"), folder.File("clicks.wav"), "-o",
                        folder.File("out")}).code, 7);  // the pictures' folder is missing
  fs::create_directory(folder.File("pics"));
  ASSERT_EQ(RunVeltane({"-q", "--overwrite", "--spectrogram", folder.File("pics/run.png"), folder.File("clicks.wav"),
                        "-o", folder.File("out")}).code, 0);
  check(folder.File("pics/run-clicks.wav.png"));
}

}  // namespace
}  // namespace veltane
