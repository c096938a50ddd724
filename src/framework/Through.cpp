// Pass-through block.
#include "framework/Through.h"

namespace veltane {

Through::Through(const char* name) : Block(name, 1, PortKind::Samples, 1, PortKind::Samples) {}

BlockStatus Through::Process() {
  CopyInputToOutput(0, 0);
  return BlockStatus::Ok;
}

void Through::OnInputsChanged() { Output(0)->format.CopyFrom(&Input(0)->format); }

}  // namespace veltane
