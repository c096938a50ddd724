// The picture of a restoration: streaming short-time spectra, drawn as a PNG with libpng.
#include "veltane/Spectrogram.h"

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace veltane {
namespace {

constexpr uint32_t kBins = Spectrogram::kFftSize / 2 + 1;
constexpr uint32_t kRingFrames = Spectrogram::kMaxLagFrames;
constexpr double kLowDb = -120.0;           // the colour scale: kLowDb .. 0 dBFS

struct Rgb {
  uint8_t r, g, b;
};
constexpr Rgb kBackground{24, 24, 28}, kText{220, 220, 220}, kStripColour{48, 48, 56}, kClickColour{255, 40, 40};

// A 5 x 7 bitmap font for the labels: each glyph seven rows of five pixels.
struct Glyph {
  char c;
  const char* rows[7];
};
constexpr Glyph kFont[] = {
    {'0', {" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "}},
    {'1', {"  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "}},
    {'2', {" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"}},
    {'3', {"#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "}},
    {'4', {"   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "}},
    {'5', {"#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "}},
    {'6', {"  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "}},
    {'7', {"#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "}},
    {'8', {" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "}},
    {'9', {" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "}},
    {'.', {"     ", "     ", "     ", "     ", "     ", " ##  ", " ##  "}},
    {':', {"     ", " ##  ", " ##  ", "     ", " ##  ", " ##  ", "     "}},
    {'-', {"     ", "     ", "     ", "#####", "     ", "     ", "     "}},
    {'(', {"   # ", "  #  ", " #   ", " #   ", " #   ", "  #  ", "   # "}},
    {')', {" #   ", "  #  ", "   # ", "   # ", "   # ", "  #  ", " #   "}},
    {'a', {"     ", "     ", " ### ", "    #", " ####", "#   #", " ####"}},
    {'c', {"     ", "     ", " ### ", "#    ", "#    ", "#   #", " ### "}},
    {'d', {"    #", "    #", " ## #", "#  ##", "#   #", "#   #", " ####"}},
    {'e', {"     ", "     ", " ### ", "#   #", "#####", "#    ", " ### "}},
    {'i', {"  #  ", "     ", " ##  ", "  #  ", "  #  ", "  #  ", " ### "}},
    {'k', {"#    ", "#    ", "#  # ", "# #  ", "##   ", "# #  ", "#  # "}},
    {'l', {" ##  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "}},
    {'m', {"     ", "     ", "## # ", "# # #", "# # #", "#   #", "#   #"}},
    {'n', {"     ", "     ", "# ## ", "##  #", "#   #", "#   #", "#   #"}},
    {'o', {"     ", "     ", " ### ", "#   #", "#   #", "#   #", " ### "}},
    {'p', {"     ", "     ", "#### ", "#   #", "#### ", "#    ", "#    "}},
    {'r', {"     ", "     ", "# ## ", "##  #", "#    ", "#    ", "#    "}},
    {'s', {"     ", "     ", " ####", "#    ", " ### ", "    #", "#### "}},
    {'t', {" #   ", " #   ", "###  ", " #   ", " #   ", " #  #", "  ## "}},
    {'u', {"     ", "     ", "#   #", "#   #", "#   #", "#  ##", " ## #"}},
    {'v', {"     ", "     ", "#   #", "#   #", "#   #", " # # ", "  #  "}},
    {'z', {"     ", "     ", "#####", "   # ", "  #  ", " #   ", "#####"}},
    {'B', {"#### ", "#   #", "#   #", "#### ", "#   #", "#   #", "#### "}},
    {'F', {"#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#    "}},
    {'H', {"#   #", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"}},
    {'S', {" ####", "#    ", "#    ", " ### ", "    #", "    #", "#### "}},
};

class Canvas {
 public:
  Canvas() : pixels(static_cast<size_t>(Spectrogram::kWidth) * Spectrogram::kHeight * 3) {
    Fill(0, 0, Spectrogram::kWidth, Spectrogram::kHeight, kBackground);
  }
  void Set(int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= Spectrogram::kWidth || y >= Spectrogram::kHeight) return;
    uint8_t* p = &pixels[(static_cast<size_t>(y) * Spectrogram::kWidth + x) * 3];
    p[0] = c.r, p[1] = c.g, p[2] = c.b;
  }
  void Fill(int x, int y, int w, int h, Rgb c) {
    for (int j = y; j < y + h; ++j) {
      for (int i = x; i < x + w; ++i) Set(i, j, c);
    }
  }
  // Text whose top left corner is (x, y); 6 pixels per character.
  void Text(int x, int y, const std::string& text) {
    for (char ch : text) {
      for (const Glyph& glyph : kFont) {
        if (glyph.c != ch) continue;
        for (int row = 0; row < 7; ++row) {
          for (int col = 0; col < 5; ++col) {
            if (glyph.rows[row][col] == '#') Set(x + col, y + row, kText);
          }
        }
      }
      x += 6;
    }
  }
  static int TextWidth(const std::string& text) { return 6 * static_cast<int>(text.size()); }
  const uint8_t* Row(int y) const { return &pixels[static_cast<size_t>(y) * Spectrogram::kWidth * 3]; }

 private:
  std::vector<uint8_t> pixels;
};

// Black through blue, purple, red and orange to pale yellow.
Rgb Colour(double t) {
  constexpr Rgb kStops[] = {{0, 0, 0}, {20, 10, 90}, {120, 20, 130}, {220, 50, 40}, {250, 150, 20}, {255, 250, 200}};
  constexpr int kLast = static_cast<int>(std::size(kStops)) - 1;
  t = std::clamp(t, 0.0, 1.0) * kLast;
  const int i = std::min(static_cast<int>(t), kLast - 1);
  const double f = t - i;
  const auto mix = [f](uint8_t a, uint8_t b) { return static_cast<uint8_t>(std::lround(a + (b - a) * f)); };
  return {mix(kStops[i].r, kStops[i + 1].r), mix(kStops[i].g, kStops[i + 1].g), mix(kStops[i].b, kStops[i + 1].b)};
}

// libpng reports failures by longjmp, so this holds no object that needs destroying.
bool EncodePng(FILE* file, const Canvas& canvas) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, info == nullptr ? nullptr : &info);
    return false;
  }
  png_init_io(png, file);
  // Speed over size: the picture is a few hundred kilobytes either way, and
  // trying every row filter costs more than the rest of the drawing.
  png_set_compression_level(png, 1);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_IHDR(png, info, Spectrogram::kWidth, Spectrogram::kHeight, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < Spectrogram::kHeight; ++y) png_write_row(png, canvas.Row(y));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string TimeLabel(double seconds, double step) {
  char text[32];
  if (seconds >= 60.0 && step >= 1.0) {
    const auto whole = static_cast<long>(std::lround(seconds));
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%gs", std::round(seconds * 1000.0) / 1000.0);
  }
  return text;
}

}  // namespace

Spectrogram::Spectrogram(uint32_t rate, uint16_t channelCount)
    : sampleRate(rate),
      channels(std::max<uint16_t>(channelCount, 1)),
      window(kFftSize),
      inputRing(kRingFrames),
      recentIn(kFftSize),
      recentOut(kFftSize),
      re(kFftSize),
      im(kFftSize),
      outRe(kFftSize),
      outIm(kFftSize),
      workRe(kFftSize),
      workIm(kFftSize),
      powers(static_cast<size_t>(kMaxColumns) * 3 * kBins),
      counts(kMaxColumns) {
  (void)fft.Setup(kFftSize);
  for (uint32_t i = 0; i < kFftSize; ++i) window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * M_PI * i / kFftSize));
}

namespace {

// Hands store(f, v) the mono mix v of each of `frames` interleaved frames.
template <typename Store>
void MixDown(const float* samples, uint32_t frames, uint16_t channels, Store store) {
  if (channels == 1) {
    for (uint32_t f = 0; f < frames; ++f) store(f, samples[f]);
  } else if (channels == 2) {
    for (uint32_t f = 0; f < frames; ++f) store(f, 0.5f * (samples[2 * f] + samples[2 * f + 1]));
  } else {
    const float scale = 1.0f / channels;
    for (uint32_t f = 0; f < frames; ++f) {
      float sum = 0.0f;
      for (uint16_t c = 0; c < channels; ++c) sum += samples[static_cast<size_t>(f) * channels + c];
      store(f, sum * scale);
    }
  }
}

}  // namespace

void Spectrogram::AddInput(const float* samples, uint32_t frames) {
  // In stretches that do not wrap around the ring.
  while (frames > 0) {
    const auto at = static_cast<uint32_t>(inputFrames % kRingFrames);
    const uint32_t count = std::min(frames, kRingFrames - at);
    float* ring = &inputRing[at];
    MixDown(samples, count, channels, [ring](uint32_t f, float v) { ring[f] = v; });
    samples += static_cast<size_t>(count) * channels;
    frames -= count;
    inputFrames += count;
  }
}

void Spectrogram::AddOutput(const float* samples, uint32_t frames) {
  // In stretches that end at the next analysis and never wrap around
  // recentIn and recentOut.
  while (frames > 0) {
    const auto at = static_cast<uint32_t>(outputFrames % kFftSize);
    const uint32_t toHop = hop - static_cast<uint32_t>(outputFrames % hop);
    const uint32_t count = std::min({frames, toHop, kFftSize - at});
    float* out = &recentOut[at];
    MixDown(samples, count, channels, [out](uint32_t f, float v) { out[f] = v; });
    for (uint32_t f = 0; f < count; ++f) {
      const uint64_t frame = outputFrames + f;
      const bool known = frame < inputFrames && inputFrames - frame <= kRingFrames;
      recentIn[at + f] = known ? inputRing[frame % kRingFrames] : 0.0f;
    }
    samples += static_cast<size_t>(count) * channels;
    frames -= count;
    outputFrames += count;
    if (outputFrames % hop == 0) Analyse();
  }
}

void Spectrogram::Halve() {
  const size_t stride = size_t{3} * kBins;
  for (uint32_t j = 0; j < kMaxColumns / 2; ++j) {
    for (size_t k = 0; k < stride; ++k) powers[j * stride + k] = powers[2 * j * stride + k] + powers[(2 * j + 1) * stride + k];
    counts[j] = counts[2 * j] + counts[2 * j + 1];
  }
  std::fill(powers.begin() + static_cast<std::ptrdiff_t>(kMaxColumns / 2 * stride), powers.end(), 0.0f);
  std::fill(counts.begin() + kMaxColumns / 2, counts.end(), 0u);
  hop *= 2;
}

void Spectrogram::Analyse() {
  uint64_t column = outputFrames / hop - 1;
  if (column >= kMaxColumns) {
    Halve();
    if (outputFrames % hop != 0) return;
    column = outputFrames / hop - 1;
  }
  // The last kFftSize frames, oldest first (zeros before the start).
  for (uint32_t i = 0; i < kFftSize; ++i) {
    const uint64_t frame = outputFrames - kFftSize + i;  // wraps below zero: before the start
    const bool real = outputFrames >= kFftSize - i;
    re[i] = real ? window[i] * recentIn[frame % kFftSize] : 0.0f;
    im[i] = real ? window[i] * recentOut[frame % kFftSize] : 0.0f;
  }
  fft.Forward(re.data(), im.data(), outRe.data(), outIm.data(), workRe.data(), workIm.data());
  float* sums = &powers[column * 3 * kBins];
  for (uint32_t k = 0; k < kBins; ++k) {
    // Two real signals through one transform: X0 = (Z[k] + conj Z[N-k]) / 2, X1 = (Z[k] - conj Z[N-k]) / 2i.
    const uint32_t m = (kFftSize - k) % kFftSize;
    const float a = outRe[k], b = outIm[k], c = outRe[m], d = outIm[m];
    const float inRe = 0.5f * (a + c), inIm = 0.5f * (b - d);
    const float outRePart = 0.5f * (b + d), outImPart = 0.5f * (c - a);
    sums[k] += inRe * inRe + inIm * inIm;
    sums[kBins + k] += outRePart * outRePart + outImPart * outImPart;
    const float dr = inRe - outRePart, di = inIm - outImPart;
    sums[2 * kBins + k] += dr * dr + di * di;
  }
  ++counts[column];
}

int Spectrogram::ColumnOf(uint64_t frame, uint64_t totalFrames) {
  if (totalFrames == 0) return 0;
  return static_cast<int>(std::min<uint64_t>(frame * kPlotWidth / totalFrames, kPlotWidth - 1));
}

ToolStatus Spectrogram::Write(const std::string& path, const std::vector<ClickMark>& clicks) const {
  Canvas canvas;
  const uint64_t total = std::max<uint64_t>(outputFrames, 1);
  const uint64_t used = std::min<uint64_t>(outputFrames / hop, kMaxColumns);
  // A full-scale sine through the Hann window peaks at (N/4)^2.
  const double reference = double{kFftSize} * kFftSize / 16.0;
  const double nyquist = sampleRate / 2.0;
  const char* titles[3] = {"input", "output", "removed (input - output)"};

  // The colour scale in 1024 shades, worked out once.
  constexpr int kShades = 1024;
  Rgb shades[kShades];
  for (int i = 0; i < kShades; ++i) shades[i] = Colour(i / (kShades - 1.0));
  std::vector<double> merged(3 * kBins);
  for (int x = 0; x < kPlotWidth && used > 0; ++x) {
    // The analysis columns under this picture column (the nearest one when none is).
    uint64_t first = static_cast<uint64_t>(x) * total / kPlotWidth / hop;
    uint64_t last = (static_cast<uint64_t>(x) + 1) * total / kPlotWidth / hop;
    first = std::min(first, used - 1);
    last = std::clamp(last, first + 1, used);
    std::fill(merged.begin(), merged.end(), 0.0);
    uint64_t count = 0;
    for (uint64_t c = first; c < last; ++c) {
      for (size_t k = 0; k < merged.size(); ++k) merged[k] += powers[c * 3 * kBins + k];
      count += counts[c];
    }
    if (count == 0) continue;
    for (int panel = 0; panel < 3; ++panel) {
      const int top = kTop + panel * (kTitle + kPanel + kGap) + kTitle;
      for (int row = 0; row < kPanel; ++row) {
        const uint32_t lo = static_cast<uint32_t>((kPanel - 1 - row) * (kBins - 1) / kPanel);
        const uint32_t hi = std::max<uint32_t>(lo + 1, static_cast<uint32_t>((kPanel - row) * (kBins - 1) / kPanel));
        double sum = 0.0;
        for (uint32_t k = lo; k < hi; ++k) sum += merged[panel * kBins + k];
        const double power = sum / (static_cast<double>(hi - lo) * count * reference);
        const double db = power > 0.0 ? 10.0 * std::log10(power) : kLowDb;
        const double shade = std::clamp((db - kLowDb) / -kLowDb, 0.0, 1.0) * (kShades - 1);
        canvas.Set(kLeft + x, top + row, shades[static_cast<int>(shade + 0.5)]);
      }
    }
  }

  // Frequency axes, titles and the colour scale.
  const double step = nyquist > 10000.0 ? 5000.0 : nyquist > 4000.0 ? 2000.0 : 500.0;
  for (int panel = 0; panel < 3; ++panel) {
    const int top = kTop + panel * (kTitle + kPanel + kGap) + kTitle;
    canvas.Text(kLeft, top - kTitle + 2, titles[panel]);
    for (double f = 0.0; f <= nyquist; f += step) {
      const int y = top + kPanel - 1 - static_cast<int>(f / nyquist * (kPanel - 1));
      canvas.Fill(kLeft - 4, y, 3, 1, kText);
      const std::string label = Number(f / 1000.0);
      canvas.Text(kLeft - 6 - Canvas::TextWidth(label), std::max(y - 3, top), label);
    }
  }
  canvas.Text(2, kTop, "kHz");
  const int barX = kLeft + kPlotWidth + 8, barTop = kTop + kTitle;
  for (int row = 0; row < kPanel; ++row) canvas.Fill(barX, barTop + row, 10, 1, Colour(1.0 - row / (kPanel - 1.0)));
  for (double db = 0.0; db >= kLowDb; db -= 40.0) {
    const int y = barTop + static_cast<int>(db / kLowDb * (kPanel - 1));
    canvas.Text(barX + 14, std::min(y - 3, barTop + kPanel - 7), Number(db));
  }
  canvas.Text(barX, barTop + kPanel + 4, "dBFS");

  // The clicks strip.
  canvas.Text(kLeft, kStripTop - kTitle + 2, "repaired clicks");
  canvas.Fill(kLeft, kStripTop, kPlotWidth, kStrip, kStripColour);
  for (const ClickMark& mark : clicks) {
    if (mark.frame >= outputFrames) continue;  // in the flush after the end
    const int from = ColumnOf(mark.frame, total);
    const int to = std::max(from, ColumnOf(mark.frame + mark.width, total));
    canvas.Fill(kLeft + from, kStripTop, to - from + 1, kStrip, kClickColour);
  }

  // The time axis.
  const double seconds = static_cast<double>(outputFrames) / std::max<uint32_t>(sampleRate, 1);
  double tick = 0.1;
  for (double candidate : {0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0, 1200.0, 1800.0, 3600.0}) {
    tick = candidate;
    if (seconds / candidate <= 10.0) break;
  }
  const int axisTop = kStripTop + kStrip + kGap;
  for (double t = 0.0; t <= seconds; t += tick) {
    const int x = kLeft + static_cast<int>(t / std::max(seconds, 1e-9) * (kPlotWidth - 1));
    canvas.Fill(x, axisTop - kGap, 1, 3, kText);
    const std::string label = TimeLabel(t, tick);
    canvas.Text(std::min(x, kLeft + kPlotWidth - Canvas::TextWidth(label)), axisTop + 2, label);
  }

  // The PNG, whole or not at all.
  const std::string temporary = path + ".veltane-part";
  const auto unwritable = [&path](const std::string& why) {
    return ToolStatus::Failure(ExitCode::OutputUnwritable, "cannot write the picture '" + path + "': " + why + ".");
  };
  FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) return unwritable(std::strerror(errno));
  const bool written = EncodePng(file, canvas);
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string why = written && closed ? std::strerror(errno) : "the disk may be full";
    ::unlink(temporary.c_str());
    return unwritable(why);
  }
  return ToolStatus::Success();
}

}  // namespace veltane
