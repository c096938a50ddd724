// Analysis filter bank: windowed, zero-phase framing and the forward transform.
#include "spectral/Analysis.h"

#include <algorithm>

#include "framework/GraphLock.h"
#include "framework/ResourcePool.h"
#include "spectral/RealFft.h"

namespace veltane {

Analysis::Analysis(const char* name) : Block(name, 1, PortKind::Samples, 1, PortKind::Spectra) {
  GraphLockHolder hold(*this);
  ring.Resize(1, 0);
}

void Analysis::SetSizeMode(uint32_t mode) {
  GraphLockHolder hold(*this);
  if (mode < 1 || mode > 4) return;
  sizeMode = mode;
  RecomputeSizes();
}

void Analysis::SetHopMode(uint32_t mode) {
  GraphLockHolder hold(*this);
  if (mode < 1 || mode > 2) return;
  hopMode = mode;
  RecomputeSizes();
}

uint32_t Analysis::OrderFor(float rate, uint32_t sizeMode) {
  // A rate that does not compare (NaN) falls through to the smallest base.
  const uint32_t baseOrder = rate >= 44100.0f ? 12 : rate >= 22050.0f ? 11 : 10;
  return baseOrder - (4 - sizeMode);
}

uint32_t Analysis::HopFor(float rate, uint32_t sizeMode, uint32_t hopMode) {
  const uint32_t length = uint32_t{1} << OrderFor(rate, sizeMode);
  return hopMode == 1 ? length / 2 : length / 4;
}

void Analysis::RecomputeSizes() {
  if (sampleRate == 0.0f) return;
  fftOrder = OrderFor(sampleRate, sizeMode);
  fftSize = uint32_t{1} << fftOrder;
  windowLength = fftSize;
  hopSize = HopFor(sampleRate, sizeMode, hopMode);
  StreamFormat& out = Output(0)->format;
  out.SetFftSize(fftSize, static_cast<uint16_t>(fftOrder));
  out.SetWindowLength(windowLength);
  out.SetHopSize(hopSize);
}

void Analysis::OnInputsChanged() {
  const StreamFormat& in = Input(0)->format;
  sampleRate = in.sampleRate;
  sampleRateInv = in.sampleRateInv;
  channels = in.channels;
  StreamFormat& out = Output(0)->format;
  out.SetSampleRate(sampleRate);
  out.SetChannels(channels);
  RecomputeSizes();
  // A new format or a new source brings a new buffer.
  inputUsed = 0;
}

void Analysis::OnOutputsChanged() {
  const uint16_t flags = Output(0)->format.changeFlags;
  if (fftSize == 0) return;
  ResourcePool& pool = domain.Pool();
  if ((flags & 0x1e) != 0) {
    const SineTables tables = pool.GetSineTable(fftSize);
    cosTable = tables.cosine;
    sinTable = tables.sine;
    windowIndex = pool.GetWindow(windowLength, WindowShape::Hann);
    window = pool.WindowData(windowIndex);
  }
  if ((flags & 0x0a) != 0) {
    ring.Resize(channels, fftSize);
    pairFrame.assign(channels >= 2 ? 2 * static_cast<size_t>(fftSize) : 0, 0.0f);
  }
}

void Analysis::OnReset() {
  GraphLockHolder hold(*this);
  ring.Clear();
  inputUsed = 0;
  firstFrame = true;
}

void Analysis::TransformFrame(SampleBuffer& target) {
  const uint32_t n = fftSize;
  const uint32_t half = windowLength / 2;
  // Zero-phase rotation: the frame's first half goes to the end of the
  // array, its second half to the start, windowed on the way.
  uint16_t c = 0;
  for (; c + 1 < channels; c += 2) {
    float* pair = pairFrame.data();
    ring.SelectChannel(c);
    ring.ReadPair(pair + 2 * static_cast<size_t>(n - half), half, 2, window);
    ring.AdvanceReader(half);
    ring.ReadPair(pair, half, 2, window + half);
    ring.AdvanceReader(-static_cast<int64_t>(half));
    std::fill(pair + 2 * static_cast<size_t>(half), pair + 2 * static_cast<size_t>(n - half), 0.0f);
    RealFftForwardPair(pair, n, fftOrder, cosTable, sinTable);
    float* first = target.data[c];
    float* second = target.data[c + 1];
    for (size_t i = 0; i < n; ++i) {
      first[i] = pair[2 * i];
      second[i] = pair[2 * i + 1];
    }
    first[n / 2] = 0.0f;
    second[n / 2] = 0.0f;
  }
  for (; c < channels; ++c) {
    float* spectrum = target.data[c];
    ring.SelectChannel(c);
    ring.Read(spectrum + (n - half), half, 1, window);
    ring.AdvanceReader(half);
    ring.Read(spectrum, half, 1, window + half);
    ring.AdvanceReader(-static_cast<int64_t>(half));
    std::fill(spectrum + half, spectrum + (n - half), 0.0f);
    RealFftForward(spectrum, n, fftOrder, cosTable, sinTable);
    spectrum[n / 2] = 0.0f;
  }
}

void Analysis::FillRing(const float* interleaved, uint32_t frames) {
  const uint32_t remaining = frames > inputUsed ? frames - inputUsed : 0;
  const uint32_t n = std::min(static_cast<uint32_t>(std::max(ring.Writable(), 0)), remaining);
  if (n == 0) return;
  ring.WriteFrames(interleaved + static_cast<size_t>(inputUsed) * channels, n, channels);
  ring.AdvanceWriter(n);
  inputUsed += n;
}

BlockStatus Analysis::Process() {
  InputPort* in = Input(0);
  OutputPort* out = Output(0);
  SampleBuffer* source = nullptr;
  SampleBuffer* target = nullptr;
  if (in->GetBuffer(&source) != BlockStatus::Ok || out->GetBuffer(&target) != BlockStatus::Ok) {
    return BlockStatus::NotReady;
  }
  window = domain.Pool().WindowData(windowIndex);
  out->format.windowId = windowIndex;

  const uint32_t frames = in->format.frames;
  const uint32_t n = fftSize;
  const uint32_t half = windowLength / 2;
  // Sizes, tables and buffers must agree before anything is touched; they do
  // once the change hooks have run for a known format.
  if (window == nullptr || cosTable == nullptr || channels == 0 || n < 2 || windowLength > n ||
      hopSize == 0 || in->format.channels != channels || ring.Channels() != channels ||
      ring.Capacity() < n || static_cast<size_t>(frames) * channels > source->length ||
      target->channels < channels || target->length < n ||
      (channels >= 2 && pairFrame.size() < 2 * static_cast<size_t>(n))) {
    return BlockStatus::NotReady;
  }

  if (firstFrame) {
    // The ring is all zero after a reset: the first frame starts with L/2
    // zeros and its middle falls on the first input sample.
    firstFrame = false;
    ring.AdvanceReader(-static_cast<int64_t>(half));
  }
  FillRing(source->data[0], frames);

  bool produced = false;
  if (ring.Readable() >= static_cast<int32_t>(windowLength)) {
    TransformFrame(*target);
    ring.AdvanceReader(hopSize);
    FillRing(source->data[0], frames);
    produced = true;
  }

  // The ring holds at least L samples, so input that did not fit left it
  // full and a frame was produced: ProducedOnly always comes with a frame.
  if (inputUsed < frames) return BlockStatus::ProducedOnly;
  inputUsed = 0;
  return produced ? BlockStatus::Ok : BlockStatus::ConsumedOnly;
}

}  // namespace veltane
