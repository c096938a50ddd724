// Named processing blocks, the link operations and the processing pass.
//
// A block owns a fixed set of typed input and output ports. An output can
// feed any number of inputs, an input is fed by at most one output; links are
// plain pointers kept symmetric by the operations below. Processing is
// push-driven: `Run` does one pass of a block and then triggers every block
// downstream, so running the head of a chain runs all of it as far as data
// allows. Everything here runs under the lock of the block's graph domain
// (GraphLock for graphs built outside a GraphDomain::Scope), which Run, the
// link operations, construction and destruction take themselves. Links join
// blocks of one domain only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "framework/BlockStatus.h"
#include "framework/GraphLock.h"
#include "framework/InputPort.h"
#include "framework/OutputPort.h"
#include "framework/StreamFormat.h"

namespace veltane {

class Block {
 public:
  static constexpr size_t kNameSize = 128;  // 127 characters and a NUL

  // Joins GraphDomain::Current(): the domain of the Scope live on this thread.
  Block(const char* name, uint16_t inputCount, PortKind inputKind, uint16_t outputCount,
        PortKind outputKind);
  // Destroys the inputs (each unlinks from its source), then the outputs
  // (each unlinks its targets and returns its buffer).
  virtual ~Block();
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  // The block's work for one pass; Run applies the result to the ports.
  virtual BlockStatus Process();
  // Drops the block's own history (rings, states) during a reset sweep.
  virtual void OnReset();
  // The port with that index, or null. Containers hand out inner ports.
  virtual InputPort* GetInputPort(uint16_t index);
  virtual OutputPort* GetOutputPort(uint16_t index);
  // One pass: reset if requested, skip when busy, update formats, acquire
  // output buffers, Process, then (autoPush) trigger downstream.
  virtual BlockStatus Run();
  // Run, unless this block is the one currently notifying (a link cycle).
  virtual BlockStatus Trigger();
  // Pulls input formats and calls the change hooks (and the parent's).
  virtual void UpdateFormats();
  // True when an input is stale or an output still waits for a target.
  virtual bool IsBusy();
  virtual void OnInputsChanged();
  virtual void OnOutputsChanged();

  // The reset itself is done by the block's next Run.
  void RequestReset();
  // The reset sweep: clears this block's ports and counters, calls OnReset,
  // then resets every block downstream.
  void Reset();
  // Copies channels x frames floats (input format) between Samples ports.
  void CopyInputToOutput(uint16_t inputIndex, uint16_t outputIndex);

  // The block's own ports (GetInputPort may delegate; these never do).
  InputPort* Input(uint16_t i) const { return i < inputCount ? inputs[i].get() : nullptr; }
  OutputPort* Output(uint16_t i) const { return i < outputCount ? outputs[i].get() : nullptr; }

  GraphDomain& domain;      // whose lock guards this block and whose pool lends its buffers
  Block* parent = nullptr;  // optional second receiver of the change hooks
  char name[kNameSize];
  uint16_t inputFormatsChanged = 0;
  uint16_t outputFormatsChanged = 0;
  uint16_t inputLinksChanged = 0;
  uint16_t outputLinksChanged = 0;
  bool autoPush = true;
  bool notifying = false;
  bool resetting = false;
  bool resetRequested = false;
  uint16_t inputCount;
  uint16_t outputCount;
  std::vector<std::unique_ptr<InputPort>> inputs;
  std::vector<std::unique_ptr<OutputPort>> outputs;

 private:
  uint64_t resetSweep_ = 0;  // sweep that last reset this block
};

// Link operations. Ports are looked up through GetInputPort/GetOutputPort.
// Each changes nothing when it fails.
BlockStatus Connect(Block* source, uint16_t outputIndex, Block* destination, uint16_t inputIndex);
// Like Connect, but first removes every other link of the output and detaches
// the input from its current source.
BlockStatus ConnectExclusive(Block* source, uint16_t outputIndex, Block* destination,
                             uint16_t inputIndex);
// Removes every link of every output of `block`, or only those that end at
// inputs of `onlyTo` when it is given.
BlockStatus DisconnectOutputs(Block* block, Block* onlyTo);

}  // namespace veltane
