// Output port operations.
#include "framework/OutputPort.h"

#include <algorithm>

#include "framework/Block.h"
#include "framework/InputPort.h"
#include "framework/ResourcePool.h"
#include "framework/SampleRing.h"

namespace veltane {

OutputPort::OutputPort(Block* portOwner, uint16_t portIndex, PortKind portKind)
    : kind(portKind),
      format(portKind),
      index(portIndex),
      mask(static_cast<uint16_t>(1u << portIndex)),
      owner(portOwner) {}

OutputPort::~OutputPort() {
  RemoveAllTargets();
  ReleaseBuffer();
}

BlockStatus OutputPort::AcquireBuffer() {
  if (buffer != nullptr) {
    bool fits;
    if (kind == PortKind::Samples) {
      fits = static_cast<uint32_t>(format.channels) * format.frames <= buffer->length;
    } else {
      fits = format.fftSize <= buffer->length && format.channels <= buffer->channels &&
             (format.hasAux == 0 || buffer->hasAux);
    }
    if (fits) return BlockStatus::Ok;
    ReleaseBuffer();
  }
  buffer = owner->domain.Pool().AcquireBuffer(format, this);
  return BlockStatus::Ok;
}

bool OutputPort::IsBusy() {
  if (format.changeFlags != 0) {
    // A buffer of the old size is useless to the targets: drop it.
    for (InputPort* target : targets) target->consumed = false;
    ReleaseBuffer();
    return false;
  }
  if (!ready) return false;
  for (InputPort* target : targets) {
    if (!target->consumed) return true;
  }
  ReleaseBuffer();
  for (InputPort* target : targets) target->consumed = false;
  return false;
}

BlockStatus OutputPort::GetBuffer(SampleBuffer** held) const {
  if (held != nullptr) *held = buffer;
  return buffer != nullptr ? BlockStatus::Ok : BlockStatus::NoBuffer;
}

float* OutputPort::ChannelData(uint16_t channel) const {
  if (buffer == nullptr) return nullptr;
  if (kind == PortKind::Spectra) return channel < buffer->channels ? buffer->data[channel] : nullptr;
  return buffer->data[0] + channel;
}

void OutputPort::MarkReady() {
  ready = true;
  for (InputPort* target : targets) target->consumed = false;
  framesProduced += format.frames;
}

void OutputPort::ReleaseBuffer() {
  owner->domain.Pool().ReleaseBuffer(buffer);
  buffer = nullptr;
  ready = false;
}

void OutputPort::Notify() {
  // By index: a triggered block may relink, so the list is re-read each step.
  for (size_t t = 0; t < targets.size(); ++t) targets[t]->owner->Trigger();
}

uint32_t OutputPort::FillFromRing(SampleRing& ring, bool perChannel) {
  if (IsBusy() || buffer == nullptr) return 0;
  const uint32_t frames = format.frames;
  const uint32_t channels = format.channels;
  const uint32_t samples = frames * channels;
  if (samples == 0 || samples > buffer->length) return 0;
  const int64_t need = perChannel ? frames : samples;
  if (ring.Readable() < need) return 0;
  if (perChannel) {
    ring.ReadFrames(buffer->data[0], frames, static_cast<uint16_t>(channels), nullptr);
    ring.AdvanceReader(frames);
  } else {
    ring.Read(buffer->data[0], samples, 1, nullptr);
    ring.AdvanceReader(samples);
  }
  MarkReady();
  return samples;
}

bool OutputPort::HasTarget(const InputPort* input) const {
  return std::find(targets.begin(), targets.end(), input) != targets.end();
}

void OutputPort::AppendTarget(InputPort* input) { targets.push_back(input); }

BlockStatus OutputPort::RemoveTarget(InputPort* input) {
  if (detaching) return BlockStatus::Ok;  // nested call from InputPort::Detach
  auto it = std::find(targets.begin(), targets.end(), input);
  if (it == targets.end()) return BlockStatus::NotLinked;
  detaching = true;
  input->Detach(this);
  targets.erase(std::find(targets.begin(), targets.end(), input));
  if (targets.empty()) targets.shrink_to_fit();
  owner->outputLinksChanged |= mask;
  detaching = false;
  return BlockStatus::Ok;
}

void OutputPort::RemoveAllTargets() {
  if (detaching) return;
  detaching = true;
  const std::vector<InputPort*> old = targets;
  for (InputPort* target : old) target->Detach(this);
  targets.clear();
  targets.shrink_to_fit();
  owner->outputLinksChanged |= mask;
  detaching = false;
}

}  // namespace veltane
