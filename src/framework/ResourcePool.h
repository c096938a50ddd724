// A graph domain's pool of sample buffers, window tables and sine tables (the
// process-wide domain has the one pool every default graph shares).
//
// Buffers are lent to output ports for one hand-over and come back to the
// pool, never to the heap; tables are built once per size and shared. Nothing
// here is freed while its domain lives, so a running chain allocates nothing
// in steady state. Every operation takes the domain's lock itself (it is
// recursive, so callers that already hold it lose nothing).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "framework/StreamFormat.h"

namespace veltane {

class OutputPort;

// A pooled buffer. For a Samples port one channel array holds channels x
// frames interleaved floats; for a Spectra port there is one array of fftSize
// floats per channel plus, when the format asks for it, the aux array of
// length / 2 + 1 floats. Contents are not cleared when re-lent.
struct SampleBuffer {
  uint32_t length = 0;       // floats in each channel array
  uint16_t channels = 0;     // number of channel arrays
  std::vector<float*> data;  // the channel arrays
  float* aux = nullptr;      // length / 2 + 1 floats once hasAux
  bool hasAux = false;
  bool inUse = false;        // lent to an output port
  OutputPort* owner = nullptr;  // the port it was last lent to

  std::vector<std::unique_ptr<float[]>> storage;
  std::unique_ptr<float[]> auxStorage;
};

enum class WindowShape : uint32_t { Hann = 2 };

struct SineTables {
  const float* cosine;  // cos(2 pi i / N) for i up to N/2 + 1: the sine table from N/4 on
  const float* sine;    // sin(2 pi i / N) for i below trunc(0.75 N + 2)
};

class ResourcePool {
 public:
  static constexpr uint16_t kNoIndex = 0xFFFF;

  // `lock` is the lock of the domain that owns the pool.
  explicit ResourcePool(std::recursive_mutex& lock) : lock_(lock) {}

  // Lends a buffer that fits the format (search order: equal size, longer
  // with equal channel count, longer with more channels; else a new one).
  // Null with index kNoIndex when the needed length or channel count is 0.
  SampleBuffer* AcquireBuffer(const StreamFormat& format, OutputPort* owner,
                              uint16_t* index = nullptr);
  // Marks the buffer free; null is ignored.
  void ReleaseBuffer(SampleBuffer* buffer);

  // Index of the window table of that length and shape, built on first use.
  uint16_t GetWindow(uint32_t length, WindowShape shape);
  // The table's values; null for an index not below the table count.
  const float* WindowData(uint16_t index) const;

  // Sine and cosine views of the table for transform size N.
  SineTables GetSineTable(uint32_t n);

  // Introspection for tests and diagnostics.
  uint16_t BufferCount() const { return static_cast<uint16_t>(buffers_.size()); }
  SampleBuffer* BufferAt(uint16_t index) const;

 private:
  std::recursive_mutex& lock_;

  struct WindowTable {
    uint32_t length;
    WindowShape shape;
    std::unique_ptr<float[]> values;
  };
  struct SineTable {
    uint32_t size;
    std::unique_ptr<float[]> values;
  };

  std::vector<std::unique_ptr<SampleBuffer>> buffers_;
  std::vector<WindowTable> windows_;
  std::vector<SineTable> sines_;
};

}  // namespace veltane
