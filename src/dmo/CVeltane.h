// "Veltane": the DirectX Media Object that hosts create. One PCM input
// stream and one output stream of the same format; processing goes to the
// processing object the effect object owns.
//
// Each effect object owns its own processing object (two effects in one host
// never disturb each other), held through a COM reference that property
// pages share through INoiseReducFilterSource; it goes when the last holder
// releases it.
//
// Interfaces: IMediaObject, IMediaObjectInPlace, IMediaParamInfo,
// IMediaParams, ISpecifyPropertyPages, IEffectSettings,
// INoiseReducFilterSource and (through the aggregated free-threaded
// marshaler) IMarshal. Free-threaded. Locks: `dmoLock` is held by the
// IMediaObject methods (except the latency and resource ones) and by a host
// through Lock; parameter calls and in-place processing run without it. The
// order is dmoLock, then the in-place aligner's lock, then the processing
// object's locks. Methods never throw.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <array>
#include <cstdint>
#include <vector>

#include "dmo/CNoiseReducFilter.h"
#include "dmo/ComObject.h"
#include "dmo/DmoHeaders.h"
#include "dmo/HostLock.h"
#include "dmo/IEffectSettings.h"
#include "dmo/INoiseReducFilter.h"
#include "effect/InPlaceAligner.h"
#include "effect/OutputQueue.h"
#include "effect/ParamManager.h"

namespace veltane {

class CVeltane final
    : public ComObject<CVeltane, IMediaObject, IMediaObjectInPlace, IMediaParamInfo, IMediaParams,
                       ISpecifyPropertyPages, IEffectSettings, INoiseReducFilterSource> {
 public:
  // Creates an object (aggregated by `outer` when not null), its processing
  // object and its free-threaded marshaler, and queries it for `iid`: with
  // an outer object only IID_IUnknown, which gives the inner unknown.
  // E_POINTER, CLASS_E_NOAGGREGATION, E_OUTOFMEMORY, or the marshaler's or
  // QueryInterface's failure (the object is then destroyed).
  static HRESULT Create(IUnknown* outer, REFIID iid, void** out);

  // IMediaObject: streams and types.
  HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* inputs, DWORD* outputs) override;
  HRESULT STDMETHODCALLTYPE GetInputStreamInfo(DWORD stream, DWORD* flags) override;
  HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD stream, DWORD* flags) override;
  HRESULT STDMETHODCALLTYPE GetInputType(DWORD stream, DWORD index, DMO_MEDIA_TYPE* type) override;
  HRESULT STDMETHODCALLTYPE GetOutputType(DWORD stream, DWORD index, DMO_MEDIA_TYPE* type) override;
  HRESULT STDMETHODCALLTYPE SetInputType(DWORD stream, const DMO_MEDIA_TYPE* type, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE SetOutputType(DWORD stream, const DMO_MEDIA_TYPE* type, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE GetInputCurrentType(DWORD stream, DMO_MEDIA_TYPE* type) override;
  HRESULT STDMETHODCALLTYPE GetOutputCurrentType(DWORD stream, DMO_MEDIA_TYPE* type) override;
  HRESULT STDMETHODCALLTYPE GetInputSizeInfo(DWORD stream, DWORD* size, DWORD* lookahead,
                                             DWORD* alignment) override;
  HRESULT STDMETHODCALLTYPE GetOutputSizeInfo(DWORD stream, DWORD* size, DWORD* alignment) override;
  HRESULT STDMETHODCALLTYPE GetInputMaxLatency(DWORD stream, REFERENCE_TIME* latency) override;
  HRESULT STDMETHODCALLTYPE SetInputMaxLatency(DWORD stream, REFERENCE_TIME latency) override;
  HRESULT STDMETHODCALLTYPE Discontinuity(DWORD stream) override;
  HRESULT STDMETHODCALLTYPE AllocateStreamingResources() override;
  HRESULT STDMETHODCALLTYPE FreeStreamingResources() override;
  HRESULT STDMETHODCALLTYPE Lock(LONG lock) override;

  // IMediaObject: streaming.
  HRESULT STDMETHODCALLTYPE GetInputStatus(DWORD stream, DWORD* flags) override;
  HRESULT STDMETHODCALLTYPE Flush() override;
  HRESULT STDMETHODCALLTYPE ProcessInput(DWORD stream, IMediaBuffer* buffer, DWORD flags, REFERENCE_TIME time,
                                         REFERENCE_TIME timeLength) override;
  HRESULT STDMETHODCALLTYPE ProcessOutput(DWORD flags, DWORD count, DMO_OUTPUT_DATA_BUFFER* buffers,
                                          DWORD* status) override;

  // IMediaObjectInPlace.
  HRESULT STDMETHODCALLTYPE Process(ULONG size, BYTE* data, REFERENCE_TIME start, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Clone(IMediaObjectInPlace** copy) override;
  HRESULT STDMETHODCALLTYPE GetLatency(REFERENCE_TIME* latency) override;

  // IMediaParamInfo.
  HRESULT STDMETHODCALLTYPE GetParamCount(DWORD* count) override;
  HRESULT STDMETHODCALLTYPE GetParamInfo(DWORD index, MP_PARAMINFO* info) override;
  HRESULT STDMETHODCALLTYPE GetParamText(DWORD index, WCHAR** text) override;
  HRESULT STDMETHODCALLTYPE GetNumTimeFormats(DWORD* count) override;
  HRESULT STDMETHODCALLTYPE GetSupportedTimeFormat(DWORD index, GUID* format) override;
  HRESULT STDMETHODCALLTYPE GetCurrentTimeFormat(GUID* format, MP_TIMEDATA* data) override;

  // IMediaParams.
  HRESULT STDMETHODCALLTYPE GetParam(DWORD index, MP_DATA* value) override;
  HRESULT STDMETHODCALLTYPE SetParam(DWORD index, MP_DATA value) override;
  HRESULT STDMETHODCALLTYPE AddEnvelope(DWORD index, DWORD count, MP_ENVELOPE_SEGMENT* segments) override;
  HRESULT STDMETHODCALLTYPE FlushEnvelope(DWORD index, REFERENCE_TIME start, REFERENCE_TIME end) override;
  HRESULT STDMETHODCALLTYPE SetTimeFormat(GUID format, MP_TIMEDATA data) override;

  // ISpecifyPropertyPages.
  HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pages) override;

  // IEffectSettings.
  HRESULT STDMETHODCALLTYPE SetSettings(const EffectSettings* settings) override;
  HRESULT STDMETHODCALLTYPE GetSettings(EffectSettings* settings) override;
  HRESULT STDMETHODCALLTYPE GetClickMeter(DWORD* level) override;

  // INoiseReducFilterSource.
  HRESULT STDMETHODCALLTYPE GetNoiseReducFilter(INoiseReducFilter** filter) override;

 protected:
  HRESULT QueryOtherInterface(REFIID iid, void** out) override;

 private:
  // The longest frame of an accepted format: two channels of 24 bits.
  static constexpr uint32_t kMaxFrameBytes = 6;

  CVeltane(IUnknown* outer, CNoiseReducFilter* processing);
  ~CVeltane() override;

  // Loads the parameter table into `params`; records success.
  HRESULT LoadParams();
  // Type negotiation, with dmoLock held.
  HRESULT SetType(bool input, DWORD stream, const DMO_MEDIA_TYPE* type, DWORD flags);
  HRESULT GetPreferredType(bool input, DWORD stream, DWORD index, DMO_MEDIA_TYPE* type);
  HRESULT GetCurrentType(bool input, DWORD stream, DMO_MEDIA_TYPE* type);
  HRESULT CompleteTypes();
  // Applies a parameter to the processing object (range check included);
  // the parameter store is not touched.
  HRESULT ApplyParam(DWORD index, float value);
  // Takes input, runs it and fills the host's room; with dmoLock held.
  HRESULT Produce(BYTE* out, DWORD room, DWORD* producedBytes, DMO_OUTPUT_DATA_BUFFER& element);
  void ReleaseHeldBuffer();

  HostLock dmoLock;
  IUnknown* marshaler = nullptr;  // the aggregated free-threaded marshaler's inner unknown
  CNoiseReducFilter* processing;  // owned reference; shared with property pages

  bool inputTypeSet = false;
  bool outputTypeSet = false;
  DMO_MEDIA_TYPE inputType{};
  DMO_MEDIA_TYPE outputType{};
  bool ready = false;
  uint32_t inputBlockBytes = 0;
  uint32_t outputBlockBytes = 0;
  uint32_t sampleRate = 0;
  bool outputPending = false;

  // Held input: a private copy of the host's buffer behind the carried
  // partial frame, and how much of it the processing object has taken.
  IMediaBuffer* heldBuffer = nullptr;
  std::vector<uint8_t> holding;
  uint32_t holdingUsed = 0;
  std::array<uint8_t, kMaxFrameBytes> carry{};
  uint32_t carryBytes = 0;
  bool inputHasTime = false;
  REFERENCE_TIME inputTime = 0;
  // Output the host's buffers could not take yet.
  OutputQueue queue;
  InPlaceAligner aligner;

  ParamManager params;
  bool paramsLoaded = false;
};

}  // namespace veltane
