// Synthesis filter bank: inverse transform, windowed overlap-add, normalised read-out.
#include "spectral/Synthesis.h"

#include <algorithm>

#include "framework/GraphLock.h"
#include "framework/ResourcePool.h"
#include "spectral/RealFft.h"

namespace veltane {

Synthesis::Synthesis(const char* name) : Block(name, 1, PortKind::Spectra, 1, PortKind::Samples) {
  GraphLockHolder hold(*this);
  ring.Resize(1, 0);
}

void Synthesis::OnInputsChanged() {
  const StreamFormat& in = Input(0)->format;
  StreamFormat& out = Output(0)->format;
  out.SetSampleRate(in.sampleRate);
  out.SetChannels(in.channels);
  out.SetFrames(in.hopSize);
  fftSize = in.fftSize;
  fftOrder = in.fftOrder;
  windowLength = in.windowLength;
  hopSize = in.hopSize;
  channels = in.channels;
  if (channels == 0) return;
  if ((in.changeFlags & 0x0a) != 0) {
    ring.Resize(channels, fftSize);
    ring.Clear();
  }
  if ((in.changeFlags & 0x3a) != 0) prepared_ = Prepare(in);
}

bool Synthesis::Prepare(const StreamFormat& format) {
  const uint32_t n = format.fftSize;
  const uint32_t length = format.windowLength;
  const uint32_t hop = format.hopSize;
  ResourcePool& pool = domain.Pool();
  window = pool.WindowData(format.windowId);
  const bool sane = n >= 2 && format.fftOrder < 32 && (uint32_t{1} << format.fftOrder) == n &&
                    length >= 2 && length % 2 == 0 && length <= n && hop >= 1 && hop <= length &&
                    window != nullptr;
  if (!sane) return false;
  const SineTables tables = pool.GetSineTable(n);
  cosTable = tables.cosine;
  sinTable = tables.sine;
  frameBuffer.assign(2 * static_cast<size_t>(n), 0.0f);

  // Sum of the squared windows of every frame overlapping each position of
  // a hop; the raised cosine has no zero, so no sum is zero. Summed in place:
  // a reset brings the same format back, and preparing it again must not
  // allocate.
  norm.assign(hop, 0.0f);
  for (uint32_t i = 0; i < hop; ++i) {
    double sum = 0.0;
    for (uint32_t start = 0; start + i < length; start += hop) {
      sum += static_cast<double>(window[start + i]) * window[start + i];
    }
    norm[i] = static_cast<float>(static_cast<double>(format.fftSizeInv) / sum);
  }
  return true;
}

void Synthesis::OnReset() {
  GraphLockHolder hold(*this);
  ring.Clear();
  firstFrame = true;
}

void Synthesis::TakeFrame() {
  InputPort* in = Input(0);
  SampleBuffer* spectra = nullptr;
  if (in->GetBuffer(&spectra) != BlockStatus::Ok || spectra->channels < channels ||
      spectra->length < fftSize) {
    return;
  }
  // The window is looked up by the format's index each time: the index may
  // differ from the one the normalisation was prepared with after a change.
  const float* frameWindow = domain.Pool().WindowData(in->format.windowId);
  if (frameWindow == nullptr) return;
  window = frameWindow;

  const uint32_t n = fftSize;
  const uint32_t half = windowLength / 2;
  const bool first = firstFrame;
  if (first) {
    // The outer half of the first frame lies before output sample 0.
    firstFrame = false;
    ring.AdvanceReader(half);
  }
  // Two channels go through the inverse transform together, interleaved;
  // each gets exactly what its own transform would give it.
  uint16_t c = 0;
  for (; c + 1 < channels; c += 2) {
    float* pair = frameBuffer.data();
    const float* first = spectra->data[c];
    const float* second = spectra->data[c + 1];
    for (size_t i = 0; i < n; ++i) {
      pair[2 * i] = first[i];
      pair[2 * i + 1] = second[i];
    }
    RealFftInversePair(pair, n, fftOrder, cosTable, sinTable);
    ring.SelectChannel(c);
    ring.AccumulatePair(pair + 2 * static_cast<size_t>(n - half), half, 2, window);
    ring.AdvanceWriter(half);
    ring.AccumulatePair(pair, half, 2, window + half);
    ring.AdvanceWriter(-static_cast<int64_t>(half));
  }
  for (; c < channels; ++c) {
    ring.SelectChannel(c);
    std::copy_n(spectra->data[c], n, frameBuffer.data());
    RealFftInverse(frameBuffer.data(), n, fftOrder, cosTable, sinTable);
    // Undo the zero-phase rotation: the end of the array is the frame's
    // first half, the start its second half.
    ring.Accumulate(frameBuffer.data() + (n - half), half, 1, window);
    ring.AdvanceWriter(half);
    ring.Accumulate(frameBuffer.data(), half, 1, window + half);
    ring.AdvanceWriter(-static_cast<int64_t>(half));
  }
  if (first) {
    // The positions just skipped are never read, but their storage comes
    // round again for later frames to accumulate onto: clear them now, so a
    // first frame with a non-zero outer half (kept frames that survived a
    // restart upstream) cannot leak into the output one ring length later.
    ring.AdvanceReader(-static_cast<int64_t>(half));
    for (uint16_t c = 0; c < channels; ++c) {
      ring.SelectChannel(c);
      ring.ZeroAhead(half);
    }
    ring.AdvanceReader(half);
  }
  ring.AdvanceWriter(hopSize);
  in->MarkConsumed(true);
}

void Synthesis::GiveBlock() {
  OutputPort* out = Output(0);
  SampleBuffer* samples = nullptr;
  if (out->GetBuffer(&samples) != BlockStatus::Ok ||
      static_cast<size_t>(hopSize) * channels > samples->length) {
    return;
  }
  ring.ReadFrames(samples->data[0], hopSize, channels, norm.data());
  // Later frames accumulate onto these positions: leave zeros behind.
  for (uint16_t c = 0; c < channels; ++c) {
    ring.SelectChannel(c);
    ring.ZeroAhead(hopSize);
  }
  ring.AdvanceReader(hopSize);
  out->MarkReady();
}

BlockStatus Synthesis::Process() {
  OutputPort* out = Output(0);
  if (out->TargetCount() == 0) return BlockStatus::Ok;
  if (!prepared_ || channels == 0 || ring.Channels() != channels || ring.Capacity() < fftSize ||
      norm.size() != hopSize || frameBuffer.size() != 2 * static_cast<size_t>(fftSize) || out->format.frames != hopSize) {
    return BlockStatus::NotReady;
  }

  if (!Input(0)->IsStale() && ring.Writable() >= static_cast<int32_t>(fftSize)) TakeFrame();

  const int32_t readable = ring.Readable();
  if (!out->IsBusy() && readable >= 1 && readable >= static_cast<int32_t>(hopSize)) GiveBlock();
  return BlockStatus::SelfMarked;
}

}  // namespace veltane
