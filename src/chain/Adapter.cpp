// Host PCM <-> float chain bridge.
#include "chain/Adapter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "framework/GraphLock.h"
#include "framework/KernelLevel.h"
#include "framework/ResourcePool.h"

namespace veltane {
namespace {

size_t BytesPerSample(Adapter::SampleWidth width) {
  switch (width) {
    case Adapter::SampleWidth::Pcm24:
      return 3;
    case Adapter::SampleWidth::Pcm8:
      return 1;
    case Adapter::SampleWidth::Float32:
      return 4;
    case Adapter::SampleWidth::Pcm16:
      break;
  }
  return 2;
}

// PCM to float. 16-bit reads with 1/32768, 24-bit as (s x 256) x 2^-31,
// 8-bit unsigned as (b - 128) x 2^-7.
void ToFloat(Adapter::SampleWidth width, const uint8_t* in, float* out, size_t count) {
  switch (width) {
    case Adapter::SampleWidth::Pcm16:
      for (size_t i = 0; i < count; ++i) {
        int16_t s;
        std::memcpy(&s, in + 2 * i, 2);
        out[i] = static_cast<float>(s) * (1.0f / 32768.0f);
      }
      break;
    case Adapter::SampleWidth::Pcm24:
      for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = in + 3 * i;
        const uint32_t bits = (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
        out[i] = static_cast<float>(static_cast<int32_t>(bits)) * (1.0f / 2147483648.0f);
      }
      break;
    case Adapter::SampleWidth::Pcm8:
      for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<float>(static_cast<int>(in[i]) - 128) * (1.0f / 128.0f);
      }
      break;
    case Adapter::SampleWidth::Float32:
      std::memcpy(out, in, count * sizeof(float));
      break;
  }
}

// Clamped to full scale; NaN, which would make the integer conversion
// undefined, counts as silence. Written as selects so that the loops below
// run in vector registers.
double FullScale(float x) {
  const double v = x;
  const double clamped = v < -1.0 ? -1.0 : (v > 1.0 ? 1.0 : v);
  return x == x ? clamped : 0.0;
}

// Float to PCM. 16-bit writes with 32767 and truncates, so through a
// transparent chain a 16-bit sample comes back one step closer to zero;
// 24-bit and 8-bit give their samples back unchanged (8-bit clamps after
// scaling, so +1.0 comes out as 255).
void FromFloat(Adapter::SampleWidth width, bool round16, const float* in, uint8_t* out, size_t count) {
  switch (width) {
    case Adapter::SampleWidth::Pcm16:
      if (round16) {
        for (size_t i = 0; i < count; ++i) {
          const double scaled = std::floor(FullScale(in[i]) * 32768.0 + 0.5);
          const auto v = static_cast<int16_t>(scaled > 32767.0 ? 32767.0 : scaled);
          std::memcpy(out + 2 * i, &v, 2);
        }
        break;
      }
      for (size_t i = 0; i < count; ++i) {
        const auto v = static_cast<int16_t>(static_cast<int32_t>(FullScale(in[i]) * 32767.0));
        std::memcpy(out + 2 * i, &v, 2);
      }
      break;
    case Adapter::SampleWidth::Pcm24:
      for (size_t i = 0; i < count; ++i) {
        const double scaled = FullScale(in[i]) * 2147483648.0;
        const int32_t v = scaled >= 2147483647.0 ? 2147483647 : static_cast<int32_t>(scaled);
        const auto bits = static_cast<uint32_t>(v);
        out[3 * i] = static_cast<uint8_t>(bits >> 8);
        out[3 * i + 1] = static_cast<uint8_t>(bits >> 16);
        out[3 * i + 2] = static_cast<uint8_t>(bits >> 24);
      }
      break;
    case Adapter::SampleWidth::Pcm8:
      for (size_t i = 0; i < count; ++i) {
        const int v = std::clamp(static_cast<int>(FullScale(in[i]) * 128.0), -128, 127);
        out[i] = static_cast<uint8_t>(v + 128);
      }
      break;
    case Adapter::SampleWidth::Float32:
      // Handed on to the next stage as the chain left it, not clamped.
      std::memcpy(out, in, count * sizeof(float));
      break;
  }
}

// The conversions built for every instruction set; DispatchKernel picks one.
// Each sample is converted alone, so every build gives the same bits.
struct ToFloatKernel {
  template <class Isa>
  static void Run(Adapter::SampleWidth width, const uint8_t* in, float* out, size_t count) {
    ToFloat(width, in, out, count);
  }
};

struct FromFloatKernel {
  template <class Isa>
  static void Run(Adapter::SampleWidth width, bool round16, const float* in, uint8_t* out, size_t count) {
    FromFloat(width, round16, in, out, count);
  }
};

}  // namespace

Adapter::Adapter() : Block("Adapter", 1, PortKind::Samples, 1, PortKind::Samples) {
  autoPush = false;
}

void Adapter::OnReset() { ring.Clear(); }

void Adapter::SetHostRate(float rate) {
  GraphLockHolder hold(*this);
  hostRate = rate;
  Output(0)->format.SetSampleRate(rate);
}

void Adapter::SetHostChannels(uint16_t count) {
  GraphLockHolder hold(*this);
  hostChannels = count;
  Output(0)->format.SetChannels(count);
  Output(0)->format.SetFrames(chainFrames);
}

void Adapter::SetChainFrames(uint32_t frames) {
  GraphLockHolder hold(*this);
  chainFrames = std::max<uint32_t>(frames, 1);
  Output(0)->format.SetFrames(chainFrames);
}

BlockStatus Adapter::AttachChain(Block* newChain, int inputIndex, int outputIndex) {
  GraphLockHolder hold(*this);
  if (chain != nullptr && chain != newChain) {
    DisconnectOutputs(this, nullptr);
    DisconnectOutputs(chain, nullptr);
  }
  chain = newChain;
  if (chain == nullptr) return BlockStatus::Ok;
  BlockStatus result = BlockStatus::Ok;
  if (inputIndex != -1) {
    result = Connect(this, 0, chain, static_cast<uint16_t>(inputIndex));
    if (result != BlockStatus::Ok) return result;
  }
  if (outputIndex != -1) result = Connect(chain, static_cast<uint16_t>(outputIndex), this, 0);
  return result;
}

BlockStatus Adapter::TransformPcm16(const void* in, uint32_t frames, void* out, uint32_t* outFrames) {
  return TransformWidths(SampleWidth::Pcm16, SampleWidth::Pcm16, in, frames, out, outFrames);
}

BlockStatus Adapter::TransformPcm24(const void* in, uint32_t frames, void* out, uint32_t* outFrames) {
  return TransformWidths(SampleWidth::Pcm24, SampleWidth::Pcm24, in, frames, out, outFrames);
}

BlockStatus Adapter::TransformPcm8(const void* in, uint32_t frames, void* out, uint32_t* outFrames) {
  return TransformWidths(SampleWidth::Pcm8, SampleWidth::Pcm8, in, frames, out, outFrames);
}

BlockStatus Adapter::TransformWidths(SampleWidth inWidth, SampleWidth outWidth, const void* in, uint32_t frames,
                                     void* out, uint32_t* outFrames) {
  GraphLockHolder hold(*this);
  sampleWidth = inWidth;
  outputWidth = outWidth;
  return Transform(static_cast<const uint8_t*>(in), frames, static_cast<uint8_t*>(out), outFrames);
}

void Adapter::StoreInput(const uint8_t* in, uint32_t samples) {
  // Straight into the ring's write region: one run up to the end of the
  // ring and, when the block wraps, a second one from its start.
  ring.SelectChannel(0);
  const RingRegion region = ring.WriteRegion(samples);
  const size_t bytes = BytesPerSample(sampleWidth);
  DispatchKernel<ToFloatKernel>(sampleWidth, in, region.first, size_t{region.firstCount});
  if (region.secondCount > 0) {
    DispatchKernel<ToFloatKernel>(sampleWidth, in + region.firstCount * bytes, region.second,
                                  size_t{region.secondCount});
  }
  ring.AdvanceWriter(samples);
}

void Adapter::GrowRing(uint32_t capacity) {
  // Resize reallocates and clears: the samples held are carried over.
  ring.SelectChannel(0);
  std::vector<float> held(static_cast<size_t>(std::max(ring.Readable(), 0)));
  const auto count = static_cast<uint32_t>(held.size());
  if (count > 0) ring.Read(held.data(), count, 1, nullptr);
  ring.Resize(1, capacity);
  ring.Clear();
  if (count > 0) ring.Write(held.data(), count, 1, nullptr);
  ring.AdvanceWriter(count);
}

bool Adapter::CollectInto(uint8_t* out, uint32_t frames) {
  InputPort* input = Input(0);
  SampleBuffer* buffer = nullptr;
  if (input->GetBuffer(&buffer) != BlockStatus::Ok) return false;
  const uint32_t samples = frames * hostChannels;
  // A buffer in another channel layout (left over from an earlier format)
  // cannot be converted; it must never be read past its end either.
  if (input->format.channels != hostChannels || samples > buffer->length) return false;
  DispatchKernel<FromFloatKernel>(outputWidth, roundPcm16, input->ChannelData(0), out, size_t{samples});
  return true;
}

BlockStatus Adapter::Transform(const uint8_t* in, uint32_t frames, uint8_t* out,
                               uint32_t* outFrames) {
  const uint32_t capacity = outFrames != nullptr ? *outFrames : 0;
  const size_t frameBytes = BytesPerSample(sampleWidth) * hostChannels;
  const size_t outFrameBytes = BytesPerSample(outputWidth) * hostChannels;

  if (chain == nullptr) {
    // A copier copies bytes: it serves equal widths only.
    if (out != nullptr && frameBytes == outFrameBytes) {
      if (outFrames != nullptr) *outFrames = frames;
      if (in != nullptr && frames > 0 && frameBytes > 0) {
        std::memmove(out, in, frames * frameBytes);
      }
    } else if (outFrames != nullptr) {
      *outFrames = 0;
    }
    return BlockStatus::Ok;
  }

  const uint32_t need = static_cast<uint32_t>(hostChannels) * frames;
  // The ring must take the whole input besides the part of a chain buffer it
  // may keep for good (the chain takes whole buffers only), or the input
  // could never be stored: a ring sized for fewer channels (before a format
  // change) or for smaller buffers grows.
  const uint32_t residue = std::min<uint32_t>(std::max(ring.Readable(), 0), hostChannels * chainFrames);
  if (need + residue > ring.Capacity()) GrowRing(8u * hostChannels * std::max(frames, chainFrames));

  uint32_t delivered = 0;
  bool stored = in == nullptr || need == 0;
  int32_t pushed = 0;
  bool settled = false;
  // Repetitions in a row in which nothing moved while the input still waits
  // for room: only a caller that never takes output gets here, and it must
  // not hang the streaming thread.
  int idle = 0;
  constexpr int kMaxIdle = 64;
  for (;;) {
    if (stored) {
      if (settled && pushed <= 0) break;
    } else {
      const int32_t space = std::max(ring.Writable(), 0);
      if (static_cast<uint32_t>(space) >= need) {
        StoreInput(in, need);
        stored = true;
      } else if (settled && pushed <= 0 && ++idle >= kMaxIdle) {
        droppedFrames += frames;
        break;
      }
    }

    settled = true;
    UpdateFormats();
    Output(0)->AcquireBuffer();
    pushed = static_cast<int32_t>(Output(0)->FillFromRing(ring, false));
    for (int run = 0; run < 4; ++run) chain->Run();
    UpdateFormats();
    if (out == nullptr) continue;

    InputPort* input = Input(0);
    if (input->source != nullptr && !input->IsStale()) {
      const uint32_t returned = input->format.frames;
      const uint32_t room = capacity - delivered;
      if (returned <= room) {
        if (returned > 0 && CollectInto(out + delivered * outFrameBytes, returned)) {
          delivered += returned;
        }
        input->MarkConsumed(true);
        settled = false;
      }
    }
    if (delivered == capacity) settled = true;
    if (pushed > 0 || !settled) idle = 0;
  }

  if (outFrames != nullptr) *outFrames = delivered;
  return BlockStatus::Ok;
}

}  // namespace veltane
