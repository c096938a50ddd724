// Half-band merge stage: polyphase IIR half-band filter pair with interpolation by two.
#include "halfband/HalfM.h"

#include <algorithm>
#include <new>

#include "framework/GraphLock.h"
#include "framework/ResourcePool.h"
#include "halfband/AllpassCascade.h"
#include "halfband/HalfbandDesign.h"

namespace veltane {
namespace {

template <class Even, class Odd>
struct MergeKernel {
  static void Run(const float* low, const float* high, float* out, float* evenStates,
                  float* oddStates, uint32_t frames, const float* evenList, const float* oddList,
                  uint16_t evenCount, uint16_t oddCount, size_t stride) {
    Even even(evenList, evenCount, evenStates);
    Odd odd(oddList, oddCount, oddStates);
    const size_t step = 2 * stride;
    for (uint32_t k = 0; k < frames; ++k, low += stride, high += stride, out += step) {
      const float l = *low;
      const float h = *high;
      out[0] = even.Step(l + h);
      out[stride] = odd.Step(l - h);
    }
    even.Save();
    odd.Save();
  }
};

// Two channels and both phases in the four lanes of one vector: lanes 0, 1
// take low + high of the two channels, lanes 2, 3 low - high, and one step
// gives a pair of stereo output frames in memory order.
template <class Even, class Odd>
struct StereoMergeKernel {
  static void Run(const float* low, const float* high, float* out, float* const* states, uint32_t frames,
                  const float* evenList, const float* oddList, uint16_t evenCount, uint16_t oddCount) {
    constexpr int kEven = FixedSections<Even>::kCount;
    constexpr int kOdd = FixedSections<Odd>::kCount;
    if constexpr (kEven == 0 || kOdd == 0) {
      for (int c = 0; c < 2; ++c) {
        MergeKernel<Even, Odd>::Run(low + c, high + c, out + c, states[c], states[2 + c], frames, evenList,
                                    oddList, evenCount, oddCount, 2);
      }
    } else {
      using Frames = typename StereoAllpassCascade<kEven, kOdd>::Frames;
      StereoAllpassCascade<kEven, kOdd> cascade(evenList, oddList, states);
      for (size_t k = 0; k < frames; ++k) {
        Lanes<float, 2> l, h;
        LoadLanes(l, low + 2 * k);
        LoadLanes(h, high + 2 * k);
        const Frames sums = __builtin_shufflevector(l + h, l - h, 0, 1, 2, 3);
        StoreLanes(cascade.Step(sums), out + 4 * k);
      }
      cascade.Save();
    }
  }
};

// An input counts towards the stage's sizes only while it is linked and its
// format is known: an unlinked input keeps stale frame counts.
bool Usable(const InputPort* in) { return in->source != nullptr && !in->format.IsUnset(); }

// The fresh buffer of `in` when it can be merged in place: nothing of this
// band waits in its ring and the buffer holds exactly one pass.
const float* WholePass(InputPort& in, const SampleRing& ring, uint64_t need) {
  SampleBuffer* fresh = nullptr;
  if (ring.Readable() != 0 || in.IsStale() || in.GetBuffer(&fresh) != BlockStatus::Ok) {
    return nullptr;
  }
  const uint64_t samples = static_cast<uint64_t>(in.format.channels) * in.format.frames;
  return samples == need && fresh->length >= need ? fresh->data[0] : nullptr;
}

}  // namespace

HalfM::HalfM(const char* name) : Block(name, 2, PortKind::Samples, 1, PortKind::Samples) {
  SetDesign(kInitialDesign);
}

void HalfM::SetDesign(uint32_t d) {
  GraphLockHolder hold(*this);
  if (const HalfbandDesign* chosen = GetHalfbandDesign(d)) {
    evenList = chosen->listA;
    evenCount = chosen->countA;
    oddList = chosen->listB;
    oddCount = chosen->countB;
  }
  design = d;
}

void HalfM::MergeChannel(const float* low, const float* high, float* out, float* evenStates,
                         float* oddStates, uint32_t frames, const float* evenList,
                         const float* oddList, uint16_t evenCount, uint16_t oddCount,
                         uint32_t /*unused*/, uint32_t stride) {
  RunAllpassKernel<MergeKernel>(evenCount, oddCount, low, high, out, evenStates, oddStates, frames,
                                evenList, oddList, evenCount, oddCount,
                                static_cast<size_t>(stride));
}

bool HalfM::IsBusy() {
  Block::IsBusy();
  return false;
}

BlockStatus HalfM::Process() {
  InputPort* inputs[2] = {Input(0), Input(1)};
  SampleRing* rings[2] = {&ring0, &ring1};
  float* scratches[2] = {scratch0.get(), scratch1.get()};
  const bool linked[2] = {inputs[0]->source != nullptr, inputs[1]->source != nullptr};
  if (!linked[0] && !linked[1]) return BlockStatus::NotReady;
  if (channels > kMaxChannels) return BlockStatus::NotReady;  // refused, see kMaxChannels

  // A band that can be merged straight from its fresh buffer stays there for
  // now; every other arrival goes into its ring.
  const uint64_t need = static_cast<uint64_t>(channels) * frames;
  const float* direct[2] = {nullptr, nullptr};
  for (int b = 0; b < 2; ++b) {
    if (!linked[b]) continue;
    direct[b] = WholePass(*inputs[b], *rings[b], need);
    if (direct[b] == nullptr) inputs[b]->PullToRing(*rings[b], false);
  }

  OutputPort* out = Output(0);
  bool ready = need > 0 && need <= scratchCapacity && !out->IsBusy() && out->buffer != nullptr &&
               out->buffer->length >= 2 * need;
  for (int b = 0; b < 2; ++b) {
    if (linked[b] && direct[b] == nullptr && rings[b]->Readable() < static_cast<int64_t>(need)) {
      ready = false;
    }
  }
  if (!ready) {
    // Keep what came: the band that was left in its buffer waits in the ring.
    for (int b = 0; b < 2; ++b) {
      if (direct[b] != nullptr) inputs[b]->PullToRing(*rings[b], false);
    }
    return BlockStatus::SelfMarked;
  }

  const uint32_t count = static_cast<uint32_t>(need);
  const float* band[2];
  for (int b = 0; b < 2; ++b) {
    if (!linked[b]) {
      std::fill_n(scratches[b], count, 0.0f);  // an unlinked band merges as silence
      band[b] = scratches[b];
    } else if (direct[b] != nullptr) {
      band[b] = direct[b];
    } else {
      // Read in place unless the pass wraps around the end of the ring.
      rings[b]->SelectChannel(0);
      const RingRegion region = rings[b]->ReadRegion(count);
      if (region.secondCount == 0) {
        band[b] = region.first;
      } else {
        rings[b]->Read(scratches[b], count, 1, nullptr);
        band[b] = scratches[b];
      }
    }
  }
  float* merged = out->buffer->data[0];
  if (channels == 2) {
    float* const states[4] = {evenStates[0].get(), evenStates[1].get(), oddStates[0].get(),
                              oddStates[1].get()};
    RunAllpassKernel<StereoMergeKernel>(evenCount, oddCount, band[0], band[1], merged, states, frames, evenList,
                                        oddList, evenCount, oddCount);
  } else {
    for (uint16_t c = 0; c < channels; ++c) {
      channelRoutine(band[0] + c, band[1] + c, merged + c, evenStates[c].get(), oddStates[c].get(), frames,
                     evenList, oddList, evenCount, oddCount, 0, channels);
    }
  }
  for (int b = 0; b < 2; ++b) {
    if (direct[b] != nullptr) {
      inputs[b]->MarkConsumed(true);
    } else if (linked[b]) {
      rings[b]->AdvanceReader(count);
    }
  }
  out->MarkReady();
  return BlockStatus::SelfMarked;
}

void HalfM::OnReset() {
  ring0.Clear();
  ring1.Clear();
  for (uint16_t c = 0; c < statesAllocated; ++c) {
    std::fill_n(evenStates[c].get(), kAllpassStateFloats, 0.0f);
    std::fill_n(oddStates[c].get(), kAllpassStateFloats, 0.0f);
  }
}

void HalfM::OnInputsChanged() {
  InputPort* in0 = Input(0);
  InputPort* in1 = Input(1);
  channels = 0;
  frames = 0;
  for (const InputPort* in : {in0, in1}) {
    if (!Usable(in)) continue;
    channels = std::max(channels, in->format.channels);
    frames = std::max(frames, in->format.frames);
  }

  if (channels <= kMaxChannels) {
    for (uint16_t c = statesAllocated; c < channels; ++c) {
      evenStates[c] = std::make_unique<float[]>(kAllpassStateFloats);
      oddStates[c] = std::make_unique<float[]>(kAllpassStateFloats);
    }
    statesAllocated = std::max(statesAllocated, channels);

    const uint64_t need = static_cast<uint64_t>(channels) * frames;
    // At least two buffers per ring, so a buffer longer than kRingFrames
    // still fits beside what waits for the other band.
    const uint64_t ringSamples =
        static_cast<uint64_t>(channels) * std::max<uint64_t>(kRingFrames, 2 * uint64_t{frames});
    if (need > scratchCapacity && ringSamples < INT32_MAX) {
      // Allocated together or not at all: Process refuses while the scratch
      // arrays are smaller than a pass.
      std::unique_ptr<float[]> grown0(new (std::nothrow) float[need]());
      std::unique_ptr<float[]> grown1(new (std::nothrow) float[need]());
      if (grown0 && grown1) {
        scratch0 = std::move(grown0);
        scratch1 = std::move(grown1);
        scratchCapacity = static_cast<uint32_t>(need);
        ring0.Resize(1, static_cast<uint32_t>(ringSamples));
        ring1.Resize(1, static_cast<uint32_t>(ringSamples));
      }
    }
  }

  // The output follows the input whose format just changed, preferring the
  // lower band; an input that is unlinked or unknown has nothing to offer.
  const InputPort* from = in1;
  if (!Usable(in1) || ((inputFormatsChanged & in0->mask) != 0 && Usable(in0))) from = in0;
  StreamFormat& out = Output(0)->format;
  if (!Usable(from)) {
    out.Reset();
    return;
  }
  out.SetChannels(channels);
  out.SetFrames(2 * frames);
  out.SetSampleRate(2.0f * from->format.sampleRate);
}

}  // namespace veltane
