// Result codes shared by every framework and block operation.
#pragma once

#include <cstdint>

namespace veltane {

// The numeric values are part of the contract: callers compare against them.
enum class BlockStatus : uint32_t {
  Ok = 0,
  ConsumedOnly = 2,   // Process: inputs used up, nothing produced
  ProducedOnly = 3,   // Process: outputs produced, inputs to be seen again
  SelfMarked = 4,     // Process: the block marked its ports itself
  AlreadyLinked = 6,  // the input is already a target of that output
  KindMismatch = 7,   // the two ports have different kinds
  NotLinked = 8,      // the ports named are not linked
  NotReady = 9,       // format not yet set, or nothing to process
  NoSuchInput = 10,   // input index out of range
  NoSuchOutput = 11,  // output index out of range
  Busy = 12,          // the block cannot run now
  InputUnlinked = 14, // the input has no source
  NoBuffer = 15,      // no buffer is held
};

// What a port's buffers hold.
enum class PortKind : uint32_t {
  Samples = 0,  // interleaved frames in one float array (channels x frames)
  Spectra = 1,  // one half-complex float array of fftSize per channel
};

}  // namespace veltane
