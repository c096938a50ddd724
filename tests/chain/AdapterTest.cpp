#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "chain/Adapter.h"
#include "framework/Through.h"

namespace veltane {
namespace {

TEST(AdapterSmoke, Pcm24ThroughChainIsBitExact) {
  Adapter adapter;
  Through through;
  ASSERT_EQ(adapter.AttachChain(&through, 0, 0), BlockStatus::Ok);
  adapter.SetHostRate(44100.0f);
  adapter.SetHostChannels(2);
  std::vector<uint8_t> in(4410 * 6), out(4410 * 6), all_out;
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7 + 3);
  std::vector<uint8_t> all_in;
  for (int call = 0; call < 10; ++call) {
    uint32_t frames = 4410;
    adapter.TransformPcm24(in.data(), 4410, out.data(), &frames);
    all_in.insert(all_in.end(), in.begin(), in.end());
    all_out.insert(all_out.end(), out.begin(), out.begin() + frames * 6);
  }
  ASSERT_GT(all_out.size(), 30000u);
  for (size_t i = 0; i < all_out.size(); ++i) ASSERT_EQ(all_out[i], all_in[i]) << i;
}

}  // namespace
}  // namespace veltane
