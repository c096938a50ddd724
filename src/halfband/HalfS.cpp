// Half-band split stage: polyphase IIR half-band filter pair with decimation by two.
#include "halfband/HalfS.h"

#include <algorithm>
#include <new>

#include "framework/GraphLock.h"
#include "framework/ResourcePool.h"
#include "halfband/AllpassCascade.h"
#include "halfband/HalfbandDesign.h"

namespace veltane {
namespace {

// Frames per output buffer for `frames` per input buffer. A one-frame input
// would give empty output buffers that could never carry anything, so it gets
// one-frame outputs instead, filled every second pass.
uint32_t SplitFrames(uint32_t frames) { return frames == 1 ? 1 : frames / 2; }

template <class Even, class Odd>
struct SplitKernel;

// Two channels and both phases in the four lanes of one vector: one load
// takes a pair of stereo frames, one step runs all four cascades.
template <class Even, class Odd>
struct StereoSplitKernel {
  static void Run(const float* in, float* low, float* high, float* const* states, uint32_t pairs,
                  const float* evenList, const float* oddList, uint16_t evenCount, uint16_t oddCount) {
    constexpr int kEven = FixedSections<Even>::kCount;
    constexpr int kOdd = FixedSections<Odd>::kCount;
    if constexpr (kEven == 0 || kOdd == 0) {
      for (int c = 0; c < 2; ++c) {
        SplitKernel<Even, Odd>::Run(in + c, low + c, high + c, states[c], states[2 + c], pairs, evenList,
                                    oddList, evenCount, oddCount, true, 2);
      }
    } else {
      using Frames = typename StereoAllpassCascade<kEven, kOdd>::Frames;
      using Pair = Lanes<float, 2>;
      StereoAllpassCascade<kEven, kOdd> cascade(evenList, oddList, states);
      for (size_t k = 0; k < pairs; ++k) {
        Frames x;
        LoadLanes(x, in + 4 * k);
        const Frames y = cascade.Step(x);
        const Pair even = __builtin_shufflevector(y, y, 0, 1);  // both channels' even outputs
        const Pair odd = __builtin_shufflevector(y, y, 2, 3);
        StoreLanes(Pair(0.5f * (even + odd)), low + 2 * k);
        StoreLanes(Pair(0.5f * (even - odd)), high + 2 * k);
      }
      cascade.Save();
    }
  }
};

template <class Even, class Odd>
struct SplitKernel {
  static void Run(const float* in, float* low, float* high, float* evenStates, float* oddStates,
                  uint32_t pairs, const float* evenList, const float* oddList, uint16_t evenCount,
                  uint16_t oddCount, bool writeHigh, size_t stride) {
    Even even(evenList, evenCount, evenStates);
    Odd odd(oddList, oddCount, oddStates);
    const size_t step = 2 * stride;
    if (writeHigh) {
      for (uint32_t k = 0; k < pairs; ++k, in += step, low += stride, high += stride) {
        const float ya = even.Step(in[0]);
        const float yb = odd.Step(in[stride]);
        *low = 0.5f * (ya + yb);
        *high = 0.5f * (ya - yb);
      }
    } else {
      for (uint32_t k = 0; k < pairs; ++k, in += step, low += stride) {
        const float ya = even.Step(in[0]);
        const float yb = odd.Step(in[stride]);
        *low = 0.5f * (ya + yb);
      }
    }
    even.Save();
    odd.Save();
  }
};

}  // namespace

HalfS::HalfS(const char* name) : Block(name, 1, PortKind::Samples, 2, PortKind::Samples) {
  SetDesign(kInitialDesign);
}

void HalfS::SetDesign(uint32_t d) {
  GraphLockHolder hold(*this);
  if (const HalfbandDesign* chosen = GetHalfbandDesign(d)) {
    evenList = chosen->listB;
    evenCount = chosen->countB;
    oddList = chosen->listA;
    oddCount = chosen->countA;
  }
  design = d;
}

void HalfS::SetPassThrough(uint32_t on) {
  GraphLockHolder hold(*this);
  if ((on != 0) == passThrough) return;
  passThrough = on != 0;
  PublishOutputFormats();
}

void HalfS::SplitChannel(const float* in, float* low, float* high, float* evenStates,
                         float* oddStates, uint32_t n, const float* evenList, const float* oddList,
                         uint16_t evenCount, uint16_t oddCount, uint32_t writeHigh,
                         uint32_t stride) {
  const bool writeHighBand = writeHigh != 0 && high != nullptr;
  RunAllpassKernel<SplitKernel>(evenCount, oddCount, in, low, high, evenStates, oddStates, n / 2,
                                evenList, oddList, evenCount, oddCount, writeHighBand,
                                static_cast<size_t>(stride));
}

void HalfS::SplitPass(const float* in, float* low, float* high, uint32_t n) {
  if (channels == 2) {
    float* const states[4] = {evenStates[0].get(), evenStates[1].get(), oddStates[0].get(),
                              oddStates[1].get()};
    RunAllpassKernel<StereoSplitKernel>(evenCount, oddCount, in, low, high, states, n / 2, evenList, oddList,
                                        evenCount, oddCount);
    return;
  }
  for (uint16_t c = 0; c < channels; ++c) {
    channelRoutine(in + c, low + c, high + c, evenStates[c].get(), oddStates[c].get(), n, evenList, oddList,
                   evenCount, oddCount, 1, channels);
  }
}

BlockStatus HalfS::Process() {
  if (passThrough) {
    // Ok publishes output 0, so make sure the copy really happens: without an
    // input buffer (an unlinked input) or room for it, publish nothing.
    SampleBuffer* from = nullptr;
    SampleBuffer* to = nullptr;
    const uint64_t samples =
        static_cast<uint64_t>(Input(0)->format.channels) * Input(0)->format.frames;
    if (Input(0)->GetBuffer(&from) != BlockStatus::Ok ||
        Output(0)->GetBuffer(&to) != BlockStatus::Ok || samples > from->length ||
        samples > to->length) {
      return BlockStatus::NotReady;
    }
    CopyInputToOutput(0, 0);
    return BlockStatus::Ok;
  }
  if (channels > kMaxChannels) return BlockStatus::NotReady;  // refused, see kMaxChannels

  InputPort* in = Input(0);
  const uint32_t outFrames = Output(0)->format.frames;
  const uint32_t n = 2 * outFrames;
  SampleBuffer* low = nullptr;
  SampleBuffer* high = nullptr;
  Output(0)->GetBuffer(&low);
  Output(1)->GetBuffer(&high);
  const uint64_t outSamples = static_cast<uint64_t>(channels) * outFrames;
  const bool outputsFit = channels > 0 && n > 0 && low != nullptr && high != nullptr &&
                          low->length >= outSamples && high->length >= outSamples;

  // Nothing waiting in the ring and a fresh buffer of exactly one pass (any
  // even frame count): split straight from the buffer. The ring would hand
  // back the same samples in the same order, so the result is identical.
  SampleBuffer* fresh = nullptr;
  if (outputsFit && ring.Readable() == 0 && !in->IsStale() &&
      in->GetBuffer(&fresh) == BlockStatus::Ok && in->format.frames == n &&
      in->format.channels == channels && fresh->length >= static_cast<uint64_t>(channels) * n) {
    SplitPass(fresh->data[0], low->data[0], high->data[0], n);
    in->MarkConsumed(true);
    Output(0)->MarkReady();
    Output(1)->MarkReady();
    return BlockStatus::SelfMarked;
  }

  in->PullToRing(ring, true);
  if (!outputsFit || ring.Readable() < static_cast<int64_t>(n) ||
      static_cast<uint64_t>(channels) * n > scratchCapacity || ring.Channels() < channels) {
    return BlockStatus::SelfMarked;  // not enough yet; what arrived stays in the ring
  }
  ring.ReadFrames(scratch.get(), n, channels, nullptr);
  SplitPass(scratch.get(), low->data[0], high->data[0], n);
  ring.AdvanceReader(n);
  Output(0)->MarkReady();
  Output(1)->MarkReady();
  return BlockStatus::SelfMarked;
}

void HalfS::OnReset() {
  for (uint16_t c = 0; c < statesAllocated; ++c) {
    std::fill_n(evenStates[c].get(), kAllpassStateFloats, 0.0f);
    std::fill_n(oddStates[c].get(), kAllpassStateFloats, 0.0f);
  }
}

void HalfS::OnInputsChanged() {
  const StreamFormat& in = Input(0)->format;
  channels = in.channels;
  frames = in.frames;

  if (channels <= kMaxChannels) {
    for (uint16_t c = statesAllocated; c < channels; ++c) {
      evenStates[c] = std::make_unique<float[]>(kAllpassStateFloats);
      oddStates[c] = std::make_unique<float[]>(kAllpassStateFloats);
    }
    statesAllocated = std::max(statesAllocated, channels);

    // The ring holds one buffer plus at most one buffer's worth left over
    // (odd frame counts leave a sample per pass until the ring is full; the
    // input then waits a pass, so nothing is lost).
    const uint64_t ringSamples = 2 * static_cast<uint64_t>(std::max<uint32_t>(frames, 1));
    const uint64_t scratchNeed = static_cast<uint64_t>(channels) * std::max<uint32_t>(frames, 2);
    if (ringSamples < INT32_MAX && scratchNeed <= UINT32_MAX) {
      if (ring.Channels() != channels || ringSamples > ring.Capacity()) {
        ring.Resize(channels, static_cast<uint32_t>(ringSamples));
      }
      if (scratchNeed > scratchCapacity) {
        // A failed allocation leaves the old scratch; Process then refuses
        // to split rather than overrun it.
        if (float* grown = new (std::nothrow) float[scratchNeed]) {
          scratch.reset(grown);
          scratchCapacity = static_cast<uint32_t>(scratchNeed);
        }
      }
    }
  }
  PublishOutputFormats();
}

void HalfS::PublishOutputFormats() {
  const StreamFormat& in = Input(0)->format;
  for (uint16_t o = 0; o < outputCount; ++o) {
    StreamFormat& out = Output(o)->format;
    if (in.IsUnset()) {
      out.Reset();  // nothing known upstream, nothing to promise downstream
      continue;
    }
    out.SetChannels(in.channels);
    out.SetFrames(passThrough ? frames : SplitFrames(frames));
    out.SetSampleRate(passThrough ? in.sampleRate : in.sampleRate * 0.5f);
  }
}

}  // namespace veltane
