// The effect object: identity, creation, stream and media-type negotiation,
// sizes and the property page it names.
#include "dmo/CVeltane.h"

#include <cstring>
#include <new>

#include "dmo/VeltaneGuids.h"
#include "effect/EffectParams.h"

namespace veltane {
namespace {

constexpr DWORD kSetTypeClear = DMO_SET_TYPEF_CLEAR;
constexpr DWORD kSetTypeTestOnly = DMO_SET_TYPEF_TEST_ONLY;
constexpr uint32_t kWaveFormatBytes = 18;  // WAVEFORMATEX without its extra bytes

WaveFormat ReadWaveFormat(const DMO_MEDIA_TYPE& type) {
  WAVEFORMATEX wave;
  std::memcpy(&wave, type.pbFormat, kWaveFormatBytes);
  WaveFormat format;
  format.formatTag = wave.wFormatTag;
  format.channels = wave.nChannels;
  format.samplesPerSec = wave.nSamplesPerSec;
  format.avgBytesPerSec = wave.nAvgBytesPerSec;
  format.blockAlign = wave.nBlockAlign;
  format.bitsPerSample = wave.wBitsPerSample;
  format.cbSize = wave.cbSize;
  return format;
}

// The type check. Without a reference: integer PCM of 8, 16 or 24 bits with
// consistent block and byte rate. Formats of no channel or more than two are
// refused too: the chain is built for one or two channels, and a frame of
// no bytes cannot be streamed. With a reference (the other stream's type,
// which passed this check) the first 18 format bytes must match it.
HRESULT CheckType(const DMO_MEDIA_TYPE* type, const DMO_MEDIA_TYPE* reference) {
  if (type == nullptr) return E_POINTER;
  if (type->majortype != MEDIATYPE_Audio || type->subtype != MEDIASUBTYPE_PCM ||
      type->formattype != FORMAT_WaveFormatEx || type->cbFormat < kWaveFormatBytes || type->pbFormat == nullptr) {
    return DMO_E_TYPE_NOT_ACCEPTED;
  }
  if (reference != nullptr) {
    return std::memcmp(type->pbFormat, reference->pbFormat, kWaveFormatBytes) == 0 ? S_OK
                                                                                   : DMO_E_TYPE_NOT_ACCEPTED;
  }
  const WaveFormat wave = ReadWaveFormat(*type);
  if (wave.formatTag != WAVE_FORMAT_PCM && wave.formatTag != WAVE_FORMAT_EXTENSIBLE) return DMO_E_TYPE_NOT_ACCEPTED;
  if (wave.bitsPerSample != 8 && wave.bitsPerSample != 16 && wave.bitsPerSample != 24) {
    return DMO_E_TYPE_NOT_ACCEPTED;
  }
  if (wave.channels == 0 || wave.channels > 2) return DMO_E_TYPE_NOT_ACCEPTED;
  const uint32_t blockAlign = static_cast<uint32_t>(wave.bitsPerSample) * wave.channels / 8;
  if (wave.blockAlign != blockAlign) return DMO_E_TYPE_NOT_ACCEPTED;
  if (wave.avgBytesPerSec != static_cast<uint64_t>(wave.samplesPerSec) * blockAlign) return DMO_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

}  // namespace

CVeltane::CVeltane(IUnknown* outer, CNoiseReducFilter* processingObject)
    : ComObject(outer), processing(processingObject) {
  static_cast<void>(LoadParams());  // retried when the types are complete
}

CVeltane::~CVeltane() {
  if (marshaler != nullptr) marshaler->Release();
  ReleaseHeldBuffer();
  if (inputTypeSet) MoFreeMediaType(&inputType);
  if (outputTypeSet) MoFreeMediaType(&outputType);
  processing->Release();
}

HRESULT CVeltane::Create(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr && iid != IID_IUnknown) return CLASS_E_NOAGGREGATION;

  CNoiseReducFilter* processingObject = nullptr;
  HRESULT hr = CNoiseReducFilter::Create(&processingObject);
  if (FAILED(hr)) return hr;
  auto* object = new (std::nothrow) CVeltane(outer, processingObject);
  if (object == nullptr) {
    processingObject->Release();
    return E_OUTOFMEMORY;
  }
  IUnknown* inner = object->InnerUnknown();
  hr = CoCreateFreeThreadedMarshaler(object->ControllingUnknown(), &object->marshaler);
  if (SUCCEEDED(hr)) hr = inner->QueryInterface(iid, out);
  inner->Release();  // the creation reference: on failure this destroys the object
  return hr;
}

HRESULT CVeltane::QueryOtherInterface(REFIID iid, void** out) {
  if (iid == IID_IMarshal && marshaler != nullptr) return marshaler->QueryInterface(iid, out);
  return E_NOINTERFACE;
}

HRESULT CVeltane::LoadParams() {
  const TimeFormatId reference = [] {
    TimeFormatId id;
    std::memcpy(id.bytes.data(), &kGuidTimeReference, sizeof(GUID));
    return id;
  }();
  switch (params.LoadParams({&reference, 1}, 0, 0, kEffectParamCount, kEffectParamRows)) {
    case ParamStatus::Ok:
      paramsLoaded = true;
      return S_OK;
    case ParamStatus::OutOfMemory:
      return E_OUTOFMEMORY;
    default:
      return E_INVALIDARG;
  }
}

HRESULT CVeltane::GetStreamCount(DWORD* inputs, DWORD* outputs) {
  if (inputs == nullptr || outputs == nullptr) return E_POINTER;
  std::lock_guard guard(dmoLock);
  *inputs = 1;
  *outputs = 1;
  return S_OK;
}

HRESULT CVeltane::GetInputStreamInfo(DWORD stream, DWORD* flags) {
  if (flags == nullptr) return E_POINTER;
  std::lock_guard guard(dmoLock);
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  *flags = 0;
  return S_OK;
}

HRESULT CVeltane::GetOutputStreamInfo(DWORD stream, DWORD* flags) {
  if (flags == nullptr) return E_POINTER;
  std::lock_guard guard(dmoLock);
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  *flags = 0;
  return S_OK;
}

HRESULT CVeltane::GetPreferredType(bool input, DWORD stream, DWORD index, DMO_MEDIA_TYPE* type) {
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  if (index != 0) return DMO_E_NO_MORE_ITEMS;
  if (type == nullptr) return S_OK;
  const bool otherSet = input ? outputTypeSet : inputTypeSet;
  if (otherSet) return MoCopyMediaType(type, input ? &outputType : &inputType);

  const HRESULT hr = MoInitMediaType(type, kWaveFormatBytes);
  if (FAILED(hr)) return hr;
  type->majortype = MEDIATYPE_Audio;
  type->subtype = MEDIASUBTYPE_PCM;
  type->formattype = FORMAT_WaveFormatEx;
  WAVEFORMATEX wave{};
  wave.wFormatTag = WAVE_FORMAT_PCM;
  wave.nChannels = 2;
  wave.nSamplesPerSec = 44100;
  wave.wBitsPerSample = 16;
  wave.nBlockAlign = 4;
  wave.nAvgBytesPerSec = 44100 * 4;
  wave.cbSize = 0;
  std::memcpy(type->pbFormat, &wave, kWaveFormatBytes);
  return S_OK;
}

HRESULT CVeltane::GetInputType(DWORD stream, DWORD index, DMO_MEDIA_TYPE* type) {
  std::lock_guard guard(dmoLock);
  return GetPreferredType(true, stream, index, type);
}

HRESULT CVeltane::GetOutputType(DWORD stream, DWORD index, DMO_MEDIA_TYPE* type) {
  std::lock_guard guard(dmoLock);
  return GetPreferredType(false, stream, index, type);
}

HRESULT CVeltane::SetType(bool input, DWORD stream, const DMO_MEDIA_TYPE* type, DWORD flags) {
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  if (!(flags & kSetTypeClear) && type == nullptr) return E_POINTER;
  if ((flags & ~(kSetTypeClear | kSetTypeTestOnly)) != 0 || flags == (kSetTypeClear | kSetTypeTestOnly)) {
    return E_INVALIDARG;
  }
  bool& isSet = input ? inputTypeSet : outputTypeSet;
  DMO_MEDIA_TYPE& stored = input ? inputType : outputType;
  if (flags & kSetTypeClear) {
    if (isSet) MoFreeMediaType(&stored);
    isSet = false;
    return S_OK;
  }
  const bool otherSet = input ? outputTypeSet : inputTypeSet;
  const HRESULT checked = CheckType(type, otherSet ? (input ? &outputType : &inputType) : nullptr);
  if (FAILED(checked)) return checked;
  if (flags & kSetTypeTestOnly) return S_OK;

  DMO_MEDIA_TYPE copy{};
  const HRESULT copied = MoCopyMediaType(&copy, type);
  if (FAILED(copied)) return copied;
  if (isSet) MoFreeMediaType(&stored);
  stored = copy;
  isSet = true;
  if (otherSet) {
    const HRESULT completed = CompleteTypes();
    if (FAILED(completed)) {
      MoFreeMediaType(&stored);
      isSet = false;
      return completed;
    }
  }
  return S_OK;
}

HRESULT CVeltane::CompleteTypes() {
  ready = false;
  if (!inputTypeSet || !outputTypeSet) return DMO_E_TYPE_NOT_SET;
  if (CheckType(&inputType, nullptr) != S_OK || CheckType(&outputType, &inputType) != S_OK) {
    return DMO_E_TYPE_NOT_ACCEPTED;
  }
  const WaveFormat wave = ReadWaveFormat(inputType);
  processing->Filter().SetFormat(wave);
  if (wave.blockAlign != inputBlockBytes) {
    // Frames queued in another layout cannot be delivered in this one.
    queue.Reset(wave.blockAlign, wave.bitsPerSample == 8 ? 0x80 : 0x00);
    aligner.Reset();
  }
  inputBlockBytes = outputBlockBytes = wave.blockAlign;
  sampleRate = wave.samplesPerSec;
  if (wave.samplesPerSec == 0) return E_FAIL;
  ready = true;
  if (!paramsLoaded) {
    const HRESULT hr = LoadParams();
    if (FAILED(hr)) {
      ready = false;
      return hr;
    }
  }
  return S_OK;
}

HRESULT CVeltane::SetInputType(DWORD stream, const DMO_MEDIA_TYPE* type, DWORD flags) {
  std::lock_guard guard(dmoLock);
  return SetType(true, stream, type, flags);
}

HRESULT CVeltane::SetOutputType(DWORD stream, const DMO_MEDIA_TYPE* type, DWORD flags) {
  std::lock_guard guard(dmoLock);
  return SetType(false, stream, type, flags);
}

HRESULT CVeltane::GetCurrentType(bool input, DWORD stream, DMO_MEDIA_TYPE* type) {
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  if (!(input ? inputTypeSet : outputTypeSet)) return DMO_E_TYPE_NOT_SET;
  if (type == nullptr) return E_POINTER;
  return MoCopyMediaType(type, input ? &inputType : &outputType);
}

HRESULT CVeltane::GetInputCurrentType(DWORD stream, DMO_MEDIA_TYPE* type) {
  std::lock_guard guard(dmoLock);
  return GetCurrentType(true, stream, type);
}

HRESULT CVeltane::GetOutputCurrentType(DWORD stream, DMO_MEDIA_TYPE* type) {
  std::lock_guard guard(dmoLock);
  return GetCurrentType(false, stream, type);
}

HRESULT CVeltane::GetInputSizeInfo(DWORD stream, DWORD* size, DWORD* lookahead, DWORD* alignment) {
  if (size == nullptr || lookahead == nullptr || alignment == nullptr) return E_POINTER;
  std::lock_guard guard(dmoLock);
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  if (!inputTypeSet || !outputTypeSet) return DMO_E_TYPE_NOT_SET;
  *size = inputBlockBytes;
  *lookahead = 0;
  *alignment = 1;
  return S_OK;
}

HRESULT CVeltane::GetOutputSizeInfo(DWORD stream, DWORD* size, DWORD* alignment) {
  if (size == nullptr || alignment == nullptr) return E_POINTER;
  std::lock_guard guard(dmoLock);
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  if (!inputTypeSet || !outputTypeSet) return DMO_E_TYPE_NOT_SET;
  *size = outputBlockBytes;
  *alignment = 1;
  return S_OK;
}

HRESULT CVeltane::GetInputMaxLatency(DWORD, REFERENCE_TIME*) { return E_NOTIMPL; }
HRESULT CVeltane::SetInputMaxLatency(DWORD, REFERENCE_TIME) { return E_NOTIMPL; }

HRESULT CVeltane::Discontinuity(DWORD stream) {
  std::lock_guard guard(dmoLock);
  return stream == 0 ? S_OK : DMO_E_INVALIDSTREAMINDEX;
}

HRESULT CVeltane::AllocateStreamingResources() { return S_OK; }
HRESULT CVeltane::FreeStreamingResources() { return S_OK; }

HRESULT CVeltane::Lock(LONG lock) {
  if (lock != 0) {
    dmoLock.lock();
    return S_OK;
  }
  // Leaving a lock the caller does not hold is refused rather than undefined.
  return dmoLock.TryLeave() ? S_OK : E_UNEXPECTED;
}

HRESULT CVeltane::GetPages(CAUUID* pages) {
  if (pages == nullptr) return E_POINTER;
  pages->cElems = 1;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
  if (pages->pElems == nullptr) return E_OUTOFMEMORY;
  pages->pElems[0] = CLSID_CVeltaneProp;
  return S_OK;
}

HRESULT CVeltane::GetNoiseReducFilter(INoiseReducFilter** filter) {
  if (filter == nullptr) return E_POINTER;
  processing->AddRef();
  *filter = processing;
  return S_OK;
}

}  // namespace veltane
