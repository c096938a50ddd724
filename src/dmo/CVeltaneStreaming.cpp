// The effect object's streaming half: input, output, flushing and in-place
// processing.

#include <algorithm>
#include <cstring>
#include <new>

#include "dmo/CVeltane.h"

namespace veltane {

void CVeltane::ReleaseHeldBuffer() {
  if (heldBuffer != nullptr) heldBuffer->Release();
  heldBuffer = nullptr;
}

HRESULT CVeltane::GetInputStatus(DWORD stream, DWORD* flags) {
  if (flags == nullptr) return E_POINTER;
  std::lock_guard guard(dmoLock);
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  *flags = ready && heldBuffer == nullptr ? DMO_INPUT_STATUSF_ACCEPT_DATA : 0;
  return S_OK;
}

HRESULT CVeltane::Flush() {
  // Only the held input goes: the carried partial frame, the queued output
  // and the chain's contents stay, so audio already in the chain still
  // comes out.
  std::lock_guard guard(dmoLock);
  ReleaseHeldBuffer();
  return S_OK;
}

HRESULT CVeltane::ProcessInput(DWORD stream, IMediaBuffer* buffer, DWORD flags, REFERENCE_TIME time,
                               REFERENCE_TIME) {
  std::lock_guard guard(dmoLock);
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  if (!inputTypeSet || !outputTypeSet) return DMO_E_TYPE_NOT_SET;
  if (!ready || heldBuffer != nullptr) return DMO_E_NOTACCEPTING;
  if (buffer == nullptr) return E_POINTER;
  BYTE* data = nullptr;
  DWORD length = 0;
  const HRESULT hr = buffer->GetBufferAndLength(&data, &length);
  if (FAILED(hr)) return hr;
  if (data == nullptr) length = 0;

  outputPending = true;
  inputHasTime = (flags & DMO_INPUT_DATA_BUFFERF_TIME) != 0;
  inputTime = time;
  try {
    holding.resize(static_cast<size_t>(carryBytes) + length);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  std::memcpy(holding.data(), carry.data(), carryBytes);
  if (length > 0) std::memcpy(holding.data() + carryBytes, data, length);
  holdingUsed = 0;

  if (holding.size() < inputBlockBytes) {
    // Less than a frame is refused: the buffer is not held and its bytes
    // are dropped, while the carry keeps what it held, so the next input
    // lines up as if this call had never been made.
    holding.clear();
    return S_FALSE;
  }
  carryBytes = 0;
  buffer->AddRef();
  heldBuffer = buffer;
  return S_OK;
}

HRESULT CVeltane::Produce(BYTE* out, DWORD room, DWORD* producedBytes, DMO_OUTPUT_DATA_BUFFER& element) {
  *producedBytes = 0;
  if (!ready) return DMO_E_TYPE_NOT_SET;
  const uint32_t block = inputBlockBytes;
  const uint32_t held = heldBuffer != nullptr ? static_cast<uint32_t>((holding.size() - holdingUsed) / block) : 0;
  const uint32_t queued = queue.QueuedFrames();
  if (held == 0 && queued == 0) return S_FALSE;
  const uint32_t capacity = room / block;
  if (capacity == 0) return E_INVALIDARG;

  // Each call takes at most half of the room's worth of input (at least one
  // frame, so even a one-frame room drains the input), and none while the
  // queue alone can fill the room: the queue never outgrows the room by
  // more than one return of the chain.
  const uint32_t take = queued >= capacity ? 0 : std::min(held, std::max(capacity / 2, 1u));
  const uint32_t takenBefore = holdingUsed / block;
  if (take > 0) queue.Produce(processing->Filter(), holding.data() + holdingUsed, take);
  holdingUsed += take * block;
  const uint32_t delivered = queue.Deliver(out, capacity);

  if (heldBuffer != nullptr && holding.size() - holdingUsed < block) {
    const auto left = static_cast<uint32_t>(holding.size() - holdingUsed);
    std::memcpy(carry.data(), holding.data() + holdingUsed, left);
    carryBytes = left;
    ReleaseHeldBuffer();
  }
  element.dwStatus |= DMO_OUTPUT_DATA_BUFFERF_SYNCPOINT;
  if (inputHasTime) {
    // Later outputs from one input carry its time advanced by the frames
    // already taken from it.
    element.rtTimestamp =
        inputTime + (sampleRate != 0 ? static_cast<REFERENCE_TIME>(takenBefore) * 10'000'000 / sampleRate : 0);
    element.dwStatus |= DMO_OUTPUT_DATA_BUFFERF_TIME;
  }
  if (heldBuffer != nullptr || queue.QueuedFrames() > 0) element.dwStatus |= DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE;
  *producedBytes = delivered * block;
  return S_OK;
}

HRESULT CVeltane::ProcessOutput(DWORD, DWORD count, DMO_OUTPUT_DATA_BUFFER* buffers, DWORD* status) {
  if (status == nullptr) return E_POINTER;
  *status = 0;
  if (count != 1) return E_INVALIDARG;
  if (buffers == nullptr) return E_POINTER;
  std::lock_guard guard(dmoLock);
  if (!inputTypeSet || !outputTypeSet) return DMO_E_TYPE_NOT_SET;
  DMO_OUTPUT_DATA_BUFFER& element = buffers[0];
  element.dwStatus = 0;
  if (element.pBuffer == nullptr) {
    if (outputPending) element.dwStatus = DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE;
    return S_OK;
  }
  BYTE* data = nullptr;
  DWORD length = 0;
  DWORD maxLength = 0;
  HRESULT hr = element.pBuffer->GetBufferAndLength(&data, &length);
  if (FAILED(hr)) return hr;
  hr = element.pBuffer->GetMaxLength(&maxLength);
  if (FAILED(hr)) return hr;
  if (length > maxLength) return E_INVALIDARG;
  if (data == nullptr && maxLength > 0) return E_POINTER;

  DWORD produced = 0;
  HRESULT result = E_OUTOFMEMORY;
  try {
    result = Produce(data + length, maxLength - length, &produced, element);
  } catch (const std::bad_alloc&) {
    // The output queue could not grow; nothing was delivered.
    produced = 0;
  }
  if (FAILED(result)) return result;
  outputPending = (element.dwStatus & DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE) != 0;
  if (produced > maxLength - length) return E_FAIL;
  hr = element.pBuffer->SetLength(length + produced);
  if (FAILED(hr)) return hr;
  return result;
}

HRESULT CVeltane::Process(ULONG size, BYTE* data, REFERENCE_TIME start, DWORD) {
  try {
    params.UpdateActiveParams(start,
                              [this](uint32_t index, float value) { static_cast<void>(ApplyParam(index, value)); });
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  uint32_t block = 0;
  {
    std::lock_guard guard(dmoLock);
    if (!inputTypeSet) return DMO_E_TYPE_NOT_SET;
    WAVEFORMATEX wave;
    std::memcpy(&wave, inputType.pbFormat, 18);
    block = wave.nBlockAlign;
  }
  if (block == 0) return S_OK;
  const uint32_t frames = size / block;
  if (frames == 0) return S_OK;
  if (data == nullptr) return E_POINTER;
  // The aligner hands back exactly `frames` frames: the processed stream a
  // fixed delay behind while processing, the input itself in full bypass.
  // The buffer is always refilled completely, so the result is S_OK.
  try {
    aligner.Process(processing->Filter(), data, frames);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CVeltane::Clone(IMediaObjectInPlace** copy) {
  if (copy == nullptr) return E_POINTER;
  *copy = nullptr;
  // The copy is made like any other object, its own processing object and
  // free-threaded marshaler included: it is as free-threaded as the source.
  IMediaObjectInPlace* object = nullptr;
  HRESULT hr = Create(nullptr, IID_IMediaObjectInPlace, reinterpret_cast<void**>(&object));
  if (FAILED(hr)) return hr;
  auto* clone = static_cast<CVeltane*>(object);
  if (!clone->paramsLoaded) hr = clone->LoadParams();
  if (SUCCEEDED(hr)) {
    switch (clone->params.CopyParamsFrom(params)) {
      case ParamStatus::Ok:
        break;
      case ParamStatus::OutOfMemory:
        hr = E_OUTOFMEMORY;
        break;
      default:
        hr = E_INVALIDARG;
        break;
    }
  }
  EffectSettings settings{};
  if (SUCCEEDED(hr)) hr = GetSettings(&settings);
  if (SUCCEEDED(hr)) hr = clone->SetSettings(&settings);
  if (SUCCEEDED(hr)) {
    std::lock_guard guard(dmoLock);
    if (inputTypeSet) hr = clone->SetInputType(0, &inputType, 0);
    if (SUCCEEDED(hr) && outputTypeSet) hr = clone->SetOutputType(0, &outputType, 0);
  }
  if (FAILED(hr)) {
    object->Release();
    return hr;
  }
  *copy = object;
  return S_OK;
}

HRESULT CVeltane::GetLatency(REFERENCE_TIME* latency) {
  if (latency == nullptr) return E_POINTER;
  *latency = 0;
  return S_OK;
}

}  // namespace veltane
