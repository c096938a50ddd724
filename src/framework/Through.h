// "Through": the fixed last block of the chain, passing buffers on unchanged.
//
// Whatever shape the chain is wired in, its final stage feeds this block and
// this block's output is what the Adapter reads back, so the chain's exit
// point never moves when the links inside the chain are rebuilt.
#pragma once

#include "framework/Block.h"

namespace veltane {

class Through : public Block {
 public:
  explicit Through(const char* name = "Through");

  // Copies channels x frames floats of the input buffer into the output.
  BlockStatus Process() override;
  // Republishes the input format (rate, channels, frames) on the output.
  void OnInputsChanged() override;
};

}  // namespace veltane
