// Blocks, links and the processing pass.
#include "framework/Block.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "framework/GraphLock.h"
#include "framework/ResourcePool.h"

namespace veltane {
namespace {

// Numbers top-level reset sweeps, so that a block reached along two paths of
// one sweep (a split band merged again) is reset only once. Sweeps of graphs
// in other domains run on other threads at the same time: the number is
// drawn from one counter, the depth is the thread's own.
std::atomic<uint64_t> sweepCounter{0};
thread_local uint64_t currentSweep = 0;
thread_local int sweepDepth = 0;

// The domain a link operation locks: that of the blocks it joins.
GraphDomain& DomainOf(const Block* block, const Block* other) {
  if (block != nullptr) return block->domain;
  return other != nullptr ? other->domain : GraphDomain::Current();
}

}  // namespace

Block::Block(const char* blockName, uint16_t inCount, PortKind inputKind, uint16_t outCount,
             PortKind outputKind)
    : domain(GraphDomain::Current()), inputCount(inCount), outputCount(outCount) {
  GraphLockHolder hold(*this);
  std::memset(name, 0, sizeof name);
  if (blockName != nullptr) std::strncpy(name, blockName, kNameSize - 1);
  for (uint16_t i = 0; i < inCount; ++i) {
    inputs.push_back(std::make_unique<InputPort>(this, i, inputKind));
  }
  for (uint16_t i = 0; i < outCount; ++i) {
    outputs.push_back(std::make_unique<OutputPort>(this, i, outputKind));
  }
}

Block::~Block() {
  GraphLockHolder hold(*this);
  for (auto& input : inputs) input.reset();
  for (auto& output : outputs) output.reset();
  inputs.clear();
  outputs.clear();
}

BlockStatus Block::Process() { return BlockStatus::Ok; }

void Block::OnReset() {}

InputPort* Block::GetInputPort(uint16_t index) { return Input(index); }

OutputPort* Block::GetOutputPort(uint16_t index) { return Output(index); }

void Block::OnInputsChanged() {}

void Block::OnOutputsChanged() {}

BlockStatus Block::Trigger() {
  if (notifying) return BlockStatus::Ok;
  return Run();
}

bool Block::IsBusy() {
  GraphLockHolder hold(*this);
  for (auto& input : inputs) {
    if (input->IsStale()) return true;
  }
  for (auto& output : outputs) {
    if (output->IsBusy()) return true;
  }
  return false;
}

void Block::RequestReset() {
  GraphLockHolder hold(*this);
  resetRequested = true;
}

BlockStatus Block::Run() {
  GraphLockHolder hold(*this);
  if (resetRequested) {
    resetRequested = false;
    Reset();
  }

  BlockStatus result = BlockStatus::Busy;
  if (!IsBusy()) {
    UpdateFormats();
    for (auto& output : outputs) output->AcquireBuffer();
    const BlockStatus processed = Process();
    // Outputs are released before inputs are marked, and inputs are marked
    // before outputs are published.
    switch (processed) {
      case BlockStatus::Ok:
        for (auto& input : inputs) input->MarkConsumed(true);
        for (auto& output : outputs) output->MarkReady();
        break;
      case BlockStatus::ConsumedOnly:
        for (auto& output : outputs) output->ReleaseBuffer();
        for (auto& input : inputs) input->MarkConsumed(true);
        break;
      case BlockStatus::ProducedOnly:
        for (auto& output : outputs) output->MarkReady();
        break;
      case BlockStatus::NotReady:
        for (auto& output : outputs) output->ReleaseBuffer();
        break;
      default:
        break;
    }
    result = processed == BlockStatus::NotReady ? BlockStatus::NotReady : BlockStatus::Ok;
  }

  // Also when busy or not ready: a Run at the head of a chain visits every
  // block downstream, and each runs if it can.
  if (autoPush) {
    notifying = true;
    for (auto& output : outputs) output->Notify();
    notifying = false;
  }
  return result;
}

void Block::UpdateFormats() {
  GraphLockHolder hold(*this);
  inputFormatsChanged = 0;
  outputFormatsChanged = 0;
  for (auto& input : inputs) input->PullFormat();
  if (inputFormatsChanged != 0 || inputLinksChanged != 0) {
    OnInputsChanged();
    if (parent != nullptr) parent->OnInputsChanged();
  }
  for (auto& input : inputs) input->format.changeFlags = 0;
  for (auto& output : outputs) {
    if (output->format.changeFlags != 0) outputFormatsChanged |= output->mask;
  }
  if (outputFormatsChanged != 0 || outputLinksChanged != 0) {
    OnOutputsChanged();
    if (parent != nullptr) parent->OnOutputsChanged();
  }
  for (auto& output : outputs) output->format.changeFlags = 0;
  inputLinksChanged = 0;
  outputLinksChanged = 0;
}

void Block::Reset() {
  GraphLockHolder hold(*this);
  if (resetting) return;  // a link cycle led back here
  if (sweepDepth == 0) currentSweep = ++sweepCounter;
  if (resetSweep_ == currentSweep) return;  // already reset in this sweep
  resetSweep_ = currentSweep;
  ++sweepDepth;
  // This sweep is the reset a pending request asked for; doing it again at
  // the block's next pass would throw away what arrived in between.
  resetRequested = false;

  for (auto& output : outputs) {
    output->ReleaseBuffer();
    output->framesProduced = 0;
  }
  for (auto& input : inputs) {
    input->consumed = false;
    input->format.Reset();
    input->framesConsumed = 0;
  }
  OnReset();

  resetting = true;
  for (auto& output : outputs) {
    for (size_t t = 0; t < output->targets.size(); ++t) {
      output->targets[t]->owner->Reset();
    }
  }
  resetting = false;
  --sweepDepth;
}

void Block::CopyInputToOutput(uint16_t inputIndex, uint16_t outputIndex) {
  GraphLockHolder hold(*this);
  InputPort* in = GetInputPort(inputIndex);
  OutputPort* out = GetOutputPort(outputIndex);
  if (in == nullptr || out == nullptr || in->kind != out->kind) return;
  SampleBuffer* from = nullptr;
  SampleBuffer* to = nullptr;
  if (in->GetBuffer(&from) != BlockStatus::Ok || out->GetBuffer(&to) != BlockStatus::Ok) return;
  const size_t count = static_cast<size_t>(in->format.channels) * in->format.frames;
  // Never past either buffer, whatever the formats claim.
  if (count > from->length || count > to->length) return;
  std::copy_n(from->data[0], count, to->data[0]);
}

BlockStatus Connect(Block* source, uint16_t outputIndex, Block* destination, uint16_t inputIndex) {
  GraphLockHolder hold(DomainOf(source, destination));
  OutputPort* out = source != nullptr ? source->GetOutputPort(outputIndex) : nullptr;
  if (out == nullptr) return BlockStatus::NoSuchOutput;
  InputPort* in = destination != nullptr ? destination->GetInputPort(inputIndex) : nullptr;
  if (in == nullptr) return BlockStatus::NoSuchInput;
  if (in->kind != out->kind) return BlockStatus::KindMismatch;
  if (out->HasTarget(in)) return BlockStatus::AlreadyLinked;
  out->AppendTarget(in);
  in->AttachTo(out);
  out->owner->outputLinksChanged |= out->mask;
  return BlockStatus::Ok;
}

BlockStatus ConnectExclusive(Block* source, uint16_t outputIndex, Block* destination,
                             uint16_t inputIndex) {
  GraphLockHolder hold(DomainOf(source, destination));
  OutputPort* out = source != nullptr ? source->GetOutputPort(outputIndex) : nullptr;
  if (out == nullptr) return BlockStatus::NoSuchOutput;
  InputPort* in = destination != nullptr ? destination->GetInputPort(inputIndex) : nullptr;
  if (in == nullptr) return BlockStatus::NoSuchInput;
  if (in->kind != out->kind) return BlockStatus::KindMismatch;
  out->RemoveAllTargets();
  in->Detach(nullptr);
  out->AppendTarget(in);
  in->AttachTo(out);
  out->owner->outputLinksChanged |= out->mask;
  return BlockStatus::Ok;
}

BlockStatus DisconnectOutputs(Block* block, Block* onlyTo) {
  GraphLockHolder hold(DomainOf(block, onlyTo));
  if (block == nullptr) return BlockStatus::Ok;
  for (uint16_t o = 0;; ++o) {
    OutputPort* out = block->GetOutputPort(o);
    if (out == nullptr) break;
    if (onlyTo == nullptr) {
      out->RemoveAllTargets();
      continue;
    }
    for (uint16_t i = 0;; ++i) {
      InputPort* in = onlyTo->GetInputPort(i);
      if (in == nullptr) break;
      if (out->HasTarget(in)) out->RemoveTarget(in);
    }
  }
  return BlockStatus::Ok;
}

}  // namespace veltane
