// Format record setters and copying.
#include "framework/StreamFormat.h"

namespace veltane {

void StreamFormat::Reset() {
  changeFlags = FormatUnset;
  sampleRate = 0.0f;
  sampleRateInv = 0.0f;
  channels = 0;
}

void StreamFormat::BeginChange() {
  if (changeFlags == FormatUnset) changeFlags = 0;
}

void StreamFormat::SetSampleRate(float rate) {
  BeginChange();
  if (rate != sampleRate) changeFlags |= FormatChange::SampleRate;
  sampleRate = rate;
  sampleRateInv = rate != 0.0f ? 1.0f / rate : 0.0f;
}

void StreamFormat::SetChannels(uint16_t count) {
  BeginChange();
  if (count != channels) changeFlags |= FormatChange::Channels;
  channels = count;
}

void StreamFormat::SetFrames(uint32_t count) {
  BeginChange();
  if (count != frames) changeFlags |= FormatChange::Frames;
  frames = count;
}

void StreamFormat::SetFftSize(uint32_t size, uint16_t order) {
  BeginChange();
  if (size != fftSize) {
    changeFlags |= FormatChange::FftSize;
    fftOrder = order;
    fftSizeInv = size != 0 ? 1.0f / static_cast<float>(size) : 0.0f;
  }
  fftSize = size;
}

void StreamFormat::SetWindowLength(uint32_t length) {
  BeginChange();
  if (length != windowLength) changeFlags |= FormatChange::WindowLength;
  windowLength = length;
}

void StreamFormat::SetHopSize(uint32_t hop) {
  BeginChange();
  if (hop != hopSize) changeFlags |= FormatChange::HopSize;
  hopSize = hop;
}

void StreamFormat::SetHasAux(uint32_t on) {
  if (kind == PortKind::Spectra) hasAux = on;
}

BlockStatus StreamFormat::CopyFrom(const StreamFormat* source) {
  if (source == nullptr || source->IsUnset()) {
    Reset();
    return BlockStatus::NotReady;
  }
  changeFlags = 0;
  SetSampleRate(source->sampleRate);
  SetChannels(source->channels);
  if (kind == PortKind::Samples && source->kind == PortKind::Samples) {
    SetFrames(source->frames);
  }
  if (kind == PortKind::Spectra && source->kind == PortKind::Spectra) {
    SetFftSize(source->fftSize, source->fftOrder);
    SetWindowLength(source->windowLength);
    SetHopSize(source->hopSize);
    windowId = source->windowId;
    hasAux = source->hasAux;
  }
  return BlockStatus::Ok;
}

}  // namespace veltane
