// The restoration loop on one thread and in two stages on two: the same bytes, the same
// statistics, and a failure or a stop on either side ending both threads with its status.
#include "veltane/Restorer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "effect/NoiseReducFilter.h"
#include "support/Signals.h"
#include "veltane/CommandLine.h"
#include "veltane/FilterProcessor.h"

namespace veltane {
namespace {

using namespace testing;  // the signals

// PCM in reads of at most `chunk` frames (a pipe gives less than asked).
class MemorySource : public Restorer::Source {
 public:
  MemorySource(std::vector<uint8_t> pcm, uint32_t frameBytes, uint32_t chunk, int failAfterReads = -1)
      : pcm(std::move(pcm)), frameBytes(frameBytes), chunk(chunk), failAfterReads(failAfterReads) {}
  ToolStatus Read(uint8_t* out, uint32_t frames, uint32_t* got) override {
    if (failAfterReads >= 0 && reads++ >= failAfterReads) {
      return ToolStatus::Failure(ExitCode::InputCorrupt, "INPUT ends early.");
    }
    *got = static_cast<uint32_t>(std::min<size_t>({frames, chunk, (pcm.size() - at) / frameBytes}));
    std::memcpy(out, pcm.data() + at, size_t{*got} * frameBytes);
    at += size_t{*got} * frameBytes;
    return ToolStatus::Success();
  }

 private:
  std::vector<uint8_t> pcm;
  uint32_t frameBytes, chunk;
  int failAfterReads;
  int reads = 0;
  size_t at = 0;
};

class MemorySink : public Restorer::Sink {
 public:
  explicit MemorySink(uint32_t frameBytes, int failAfterWrites = -1)
      : frameBytes(frameBytes), failAfterWrites(failAfterWrites) {}
  ToolStatus Write(const uint8_t* pcm, uint32_t frames) override {
    if (failAfterWrites >= 0 && writes++ >= failAfterWrites) {
      return ToolStatus::Failure(ExitCode::OutputUnwritable, "the disk is full.");
    }
    bytes.insert(bytes.end(), pcm, pcm + size_t{frames} * frameBytes);
    return ToolStatus::Success();
  }
  std::vector<uint8_t> bytes;

 private:
  uint32_t frameBytes;
  int failAfterWrites;
  int writes = 0;
};

// What a run gives: its status, output and statistics.
struct Outcome {
  ToolStatus status;
  Restorer::Result result;
  std::vector<uint8_t> bytes;
  uint64_t clicks = 0;
  std::vector<ClickMark> marks;
  float hissDb = 0.0f;
};

struct RunCase {
  uint32_t rate;
  uint16_t channels;
  int bytes;
  uint32_t blockFrames;  // the Restorer's block
  uint32_t chunk;        // frames a read gives at most
  uint32_t switches = kToolDefaultOptions;  // "Options" bits
};
void PrintTo(const RunCase& c, std::ostream* os) {
  *os << c.rate << " Hz, " << c.channels << " ch, " << c.bytes << " bytes, blocks of " << c.blockFrames
      << ", reads of " << c.chunk << ", options " << c.switches;
}

// Music with hiss and a click every fifth of a second, restored with the tool's defaults on
// one thread or in two stages. `failAfterReads`/`failAfterWrites`: the source or the sink fails
// then; `stopAfterPolls`: a stop is asked for then.
Outcome Restore(const RunCase& setup, bool staged, int failAfterReads = -1, int failAfterWrites = -1,
                int stopAfterPolls = -1) {
  std::vector<float> x = MusicLike(setup.rate * 2 + 17, setup.channels, setup.rate, setup.rate + 1);
  AddWhiteHiss(x, 0.003);
  std::vector<Click> clicks;
  for (uint32_t frame = setup.rate / 4; frame + 64 < setup.rate * 2; frame += setup.rate / 5) clicks.push_back({frame, 3});
  AddClicks(x, setup.channels, clicks, 0.5);
  const uint32_t frameBytes = setup.channels * setup.bytes;
  MemorySource source(Encode(x, setup.bytes), frameBytes, setup.chunk, failAfterReads);
  MemorySink sink(frameBytes, failAfterWrites);

  ToolOptions options;
  options.options = setup.switches;
  std::vector<std::unique_ptr<NoiseReducFilter>> filters;
  std::vector<std::unique_ptr<FilterProcessor>> processors;
  for (int k = 0; k < (staged ? 2 : 1); ++k) {
    filters.push_back(CreateNoiseReducFilter(NoiseReducFilter::Locking::OwnLock));
    processors.push_back(std::make_unique<FilterProcessor>(*filters.back()));
    processors.back()->Configure(options, setup.rate, setup.channels, setup.bytes);
  }
  if (staged) {
    filters[0]->SetStage(NoiseReducFilter::Stage::Declick);
    filters[1]->SetStage(NoiseReducFilter::Stage::Hiss);
  }
  int polls = 0;
  const auto stop = [&] { return stopAfterPolls >= 0 && ++polls > stopAfterPolls; };
  Restorer restorer(frameBytes, setup.blockFrames);
  Outcome outcome;
  outcome.status = staged ? restorer.RunStaged(source, *processors[0], setup.channels * 4, *processors[1], sink,
                                               &outcome.result, {}, stop)
                          : restorer.Run(source, *processors[0], sink, &outcome.result, {}, stop);
  outcome.bytes = std::move(sink.bytes);
  outcome.clicks = processors[0]->ClicksRepaired();
  outcome.marks = processors[0]->Clicks();
  outcome.hissDb = processors.back()->HissLevelDb();
  return outcome;
}

class StagedRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(StagedRun, GivesTheBytesAndStatisticsOfOneThread) {
  const RunCase setup = GetParam();
  const Outcome one = Restore(setup, false);
  const Outcome two = Restore(setup, true);
  ASSERT_TRUE(one.status.Ok()) << one.status.message;
  ASSERT_TRUE(two.status.Ok()) << two.status.message;
  EXPECT_EQ(one.result.frames, setup.rate * 2 + 17);
  EXPECT_EQ(two.result.frames, one.result.frames);
  EXPECT_TRUE(two.bytes == one.bytes);
  EXPECT_EQ(two.result.clickPeak, one.result.clickPeak);
  EXPECT_EQ(two.clicks, one.clicks);
  EXPECT_TRUE(std::equal(one.marks.begin(), one.marks.end(), two.marks.begin(), two.marks.end(),
                         [](const ClickMark& a, const ClickMark& b) { return a.frame == b.frame && a.width == b.width; }));
  if (setup.switches == kToolDefaultOptions) {  // the restorers at work: every click found, a hiss level
    EXPECT_GT(one.result.clickPeak, 0u);
    EXPECT_GE(one.clicks, 8u);
    EXPECT_TRUE(std::isfinite(one.hissDb));
  }
  EXPECT_EQ(std::memcmp(&one.hissDb, &two.hissDb, sizeof(float)), 0) << one.hissDb << " " << two.hissDb;
}

INSTANTIATE_TEST_SUITE_P(RatesWidthsBlocks, StagedRun,
                         ::testing::Values(RunCase{16000, 1, 2, 4096, 4096}, RunCase{16000, 2, 3, 1000, 77},
                                           RunCase{44100, 2, 2, 4096, 4096}, RunCase{44100, 1, 1, 333, 4096},
                                           RunCase{44100, 2, 3, 4096, 1500}, RunCase{96000, 2, 2, 16384, 16384},
                                           RunCase{96000, 1, 3, 4096, 4096},
                                           // either restorer bypassed, the clicks alone, a manual hiss level
                                           RunCase{44100, 2, 2, 4096, 4096, kOptionBypassDeclick | kOptionAutoInputHiss},
                                           RunCase{44100, 2, 2, 4096, 4096, kOptionBypassDenoise | kOptionAutoInputHiss},
                                           RunCase{44100, 1, 3, 4096, 4096, kOptionOutputClicks | kOptionAutoInputHiss},
                                           RunCase{16000, 2, 2, 4096, 4096, 0}));

// A failure or a stop on either thread ends the run with its status, whatever the other does.
TEST(StagedRunEnds, WithTheFirstFailureOrTheStop) {
  const RunCase setup{44100, 2, 2, 4096, 4096};
  const Outcome unreadable = Restore(setup, true, 5);
  EXPECT_EQ(unreadable.status.code, ExitCode::InputCorrupt);
  const Outcome unwritable = Restore(setup, true, -1, 3);
  EXPECT_EQ(unwritable.status.code, ExitCode::OutputUnwritable);
  EXPECT_EQ(unwritable.bytes.size(), Restore(setup, false, -1, 3).bytes.size());
  for (int polls : {0, 4, 23}) {  // before the first block, amid the input, in the flush
    const Outcome stopped = Restore(setup, true, -1, -1, polls);
    EXPECT_EQ(stopped.status.code, ExitCode::Interrupted) << polls;
  }
}

}  // namespace
}  // namespace veltane
