// Input port operations.
#include "framework/InputPort.h"

#include "framework/Block.h"
#include "framework/OutputPort.h"
#include "framework/ResourcePool.h"
#include "framework/SampleRing.h"

namespace veltane {

InputPort::InputPort(Block* portOwner, uint16_t portIndex, PortKind portKind)
    : kind(portKind),
      format(portKind),
      index(portIndex),
      owner(portOwner),
      mask(static_cast<uint16_t>(1u << portIndex)) {
}

InputPort::~InputPort() { Detach(nullptr); }

bool InputPort::IsStale() const {
  if (source == nullptr) return false;
  if (!source->ready) return true;
  return consumed;
}

BlockStatus InputPort::GetBuffer(SampleBuffer** buffer) const {
  if (buffer != nullptr) *buffer = nullptr;
  if (source == nullptr) return BlockStatus::InputUnlinked;
  if (source->buffer == nullptr) return BlockStatus::NoBuffer;
  if (buffer != nullptr) *buffer = source->buffer;
  return BlockStatus::Ok;
}

float* InputPort::ChannelData(uint16_t channel) const {
  SampleBuffer* buffer = nullptr;
  if (GetBuffer(&buffer) != BlockStatus::Ok) return nullptr;
  if (kind == PortKind::Spectra) {
    return channel < buffer->channels ? buffer->data[channel] : nullptr;
  }
  return buffer->data[0] + channel;
}

void InputPort::MarkConsumed(bool taken) {
  if (!taken) {
    consumed = false;
    return;
  }
  consumed = true;
  if (source != nullptr) source->IsBusy();  // retires the buffer once all took it
  framesConsumed += format.frames;
}

BlockStatus InputPort::PullFormat() {
  if (source == nullptr) return BlockStatus::InputUnlinked;
  format.CopyFrom(&source->format);
  // An unset source leaves this format unset, which counts as a change, so
  // the block hears about it on every pass until the source is set.
  if (format.changeFlags != 0) owner->inputFormatsChanged |= mask;
  return BlockStatus::Ok;
}

uint32_t InputPort::PullToRing(SampleRing& ring, bool perChannel) {
  if (IsStale()) return 0;
  SampleBuffer* buffer = nullptr;
  if (GetBuffer(&buffer) != BlockStatus::Ok) return 0;
  const uint32_t frames = format.frames;
  const uint32_t channels = format.channels;
  const uint32_t samples = frames * channels;
  if (samples > buffer->length) return 0;
  const int64_t need = perChannel ? frames : samples;
  if (ring.Writable() < need) return 0;
  if (perChannel) {
    ring.WriteFrames(buffer->data[0], frames, static_cast<uint16_t>(channels));
    ring.AdvanceWriter(frames);
  } else {
    ring.SelectChannel(0);
    ring.Write(buffer->data[0], samples, 1, nullptr);
    ring.AdvanceWriter(samples);
  }
  MarkConsumed(true);
  return samples;
}

void InputPort::AttachTo(OutputPort* output) {
  if (source != nullptr && source != output) source->RemoveTarget(this);
  source = output;
  consumed = false;
  owner->inputLinksChanged |= mask;
}

BlockStatus InputPort::Detach(OutputPort* from) {
  if (detaching) return BlockStatus::Ok;  // nested call from RemoveTarget
  if (from != nullptr && from != source) return BlockStatus::NotLinked;
  if (source == nullptr) return BlockStatus::Ok;
  detaching = true;
  source->RemoveTarget(this);
  source = nullptr;
  format.Reset();  // whatever arrives next is new to the block
  owner->inputLinksChanged |= mask;
  detaching = false;
  return BlockStatus::Ok;
}

}  // namespace veltane
