// The processing object: parameters mapped onto the chain's blocks, and host
// buffers run through the Adapter.
#include "effect/NoiseReducFilter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>

#include "chain/Adapter.h"
#include "chain/NoiseReducManager.h"
#include "declick/ExtentDeclick.h"
#include "declick/TDDeclick.h"
#include "framework/GraphLock.h"
#include "spectral/Analysis.h"
#include "spectral/FDNoiseReduc.h"
#include "spectral/HissRemover.h"

namespace veltane {
namespace {

// Low-frequency group delay of one split and merge with design 0, in frames
// at the rate of the split: its three first-order allpass sections run at
// half that rate, each delaying low frequencies by (1 - c) / (1 + c).
constexpr double kSplitMergeDelay = 2.0 * ((1.0 - 0.28432673) / (1.0 + 0.28432673) +
                                           (1.0 - 0.9239959) / (1.0 + 0.9239959) +
                                           (1.0 - 0.6955241) / (1.0 + 0.6955241));

// Rounded: the allpass delays higher frequencies more, but music lives low.
uint32_t Frames(double delay) { return static_cast<uint32_t>(delay + 0.5); }

}  // namespace

NoiseReducFilter::NoiseReducFilter(Locking locking)
    : ownDomain(locking == Locking::OwnLock ? std::make_unique<GraphDomain>() : nullptr),
      domain(ownDomain != nullptr ? *ownDomain : GraphDomain::Shared()) {
  GraphDomain::Scope scope(domain);
  adapter = std::make_unique<Adapter>();
  manager = std::make_unique<NoiseReducManager>("NoiseReduc Manager");
  adapter->AttachChain(manager.get(), 0, 0);
  SetClickThreshold(4.0f);
  SetOutputHissLevel(0.625f);
  SetInputHissLevel(0.333f);
  fullBypass = 1;
  SetBypassDeclick(1);
  SetBypassDenoise(1);
  // With the automatic switch on this applies the output hiss level again,
  // so the hiss reducer ends at +2.5 dB input and -30 dB output level.
  SetAutoInputHissLevel(1);
}

NoiseReducFilter::~NoiseReducFilter() {
  {
    GraphLockHolder hold(domain);
    manager.reset();
  }
  GraphLockHolder hold(domain);
  adapter.reset();
}

template <typename Apply>
void NoiseReducFilter::ForBothDeclickers(Apply apply) {
  apply(*manager->declick[0]);
  apply(*manager->modernDeclick);
}

template <typename Read>
auto NoiseReducFilter::ReadDeclicker(Read read) {
  return manager->engine == Engine::Modern ? read(*manager->modernDeclick) : read(*manager->declick[0]);
}

bool NoiseReducFilter::ModernActive() const { return manager->engine == Engine::Modern; }

void NoiseReducFilter::SetBypassDeclick(uint8_t on) {
  std::lock_guard guard(lock);
  bypassDeclick = on;
  ForBothDeclickers([on](auto& declicker) { declicker.SetBypass(on); });
}

uint8_t NoiseReducFilter::GetBypassDeclick() {
  std::lock_guard guard(lock);
  bypassDeclick = ReadDeclicker([](auto& declicker) { return declicker.GetBypass(); }) == 1 ? 1 : 0;
  return bypassDeclick;
}

void NoiseReducFilter::SetBypassDenoise(uint8_t on) {
  std::lock_guard guard(lock);
  bypassDenoise = on;
  manager->noiseReduc->SetBypass(on);
  manager->modernHiss->SetBypass(on != 0);
}

uint8_t NoiseReducFilter::GetBypassDenoise() {
  std::lock_guard guard(lock);
  bypassDenoise = (ModernActive() ? manager->modernHiss->IsBypassed() : manager->noiseReduc->IsBypassed()) ? 1 : 0;
  return bypassDenoise;
}

void NoiseReducFilter::SetFullBypass(uint8_t on) {
  std::lock_guard guard(lock);
  fullBypass = on;
}

uint8_t NoiseReducFilter::GetFullBypass() {
  std::lock_guard guard(lock);
  return fullBypass;
}

void NoiseReducFilter::SetOutputClicks(uint8_t on) {
  std::lock_guard guard(lock);
  outputClicks = on;
  ForBothDeclickers([on](auto& declicker) { declicker.SetOutputClicks(on); });
  // The removed clicks are heard alone: the hiss reducer must not touch them.
  manager->noiseReduc->SetBypass(on != 0 ? 1 : bypassDenoise);
  manager->modernHiss->SetBypass(on != 0 || bypassDenoise != 0);
}

uint8_t NoiseReducFilter::GetOutputClicks() {
  std::lock_guard guard(lock);
  outputClicks = ReadDeclicker([](auto& declicker) { return declicker.GetOutputClicks(); }) == 1 ? 1 : 0;
  return outputClicks;
}

void NoiseReducFilter::SetAutoInputHissLevel(uint8_t on) {
  std::lock_guard guard(lock);
  autoInputHissLevel = on;
  manager->noiseReduc->SetAutoLevel(on);
  manager->modernHiss->SetAutoLevel(on != 0);
  // Re-apply whichever level now governs the hiss reducer's input level.
  if (on != 0) {
    SetOutputHissLevel(outputHissLevel);
  } else {
    SetInputHissLevel(inputHissLevel);
  }
}

uint8_t NoiseReducFilter::GetAutoInputHissLevel() {
  std::lock_guard guard(lock);
  autoInputHissLevel = (ModernActive() ? manager->modernHiss->IsAutoLevel() : manager->noiseReduc->IsAutoLevel()) ? 1 : 0;
  return autoInputHissLevel;
}

void NoiseReducFilter::SetClickThreshold(float value) {
  std::lock_guard guard(lock);
  clickThreshold = value;
  // Both declickers take the effect's 2..20 scale and map it themselves.
  ForBothDeclickers([value](auto& declicker) { declicker.SetThreshold(value); });
}

float NoiseReducFilter::GetClickThreshold() {
  std::lock_guard guard(lock);
  clickThreshold = ReadDeclicker([](auto& declicker) { return declicker.GetThreshold(); });
  return clickThreshold;
}

void NoiseReducFilter::SetOutputHissLevel(float level) {
  std::lock_guard guard(lock);
  outputHissLevel = level;
  const float d = 1.0f - level;
  float inputDb = d * 20.0f - 5.0f;
  if (inputDb < -3.0f) inputDb = -3.0f;
  float outputDb = d * -80.0f;
  if (outputDb < -80.0f) outputDb = -80.0f;
  // In automatic mode the output level also sets how far above the
  // estimated hiss the classic reducer starts to act.
  if (autoInputHissLevel == 1) manager->noiseReduc->SetInputLevel(inputDb);
  manager->noiseReduc->SetOutputLevel(outputDb);
  // The modern hiss remover maps the level onto its gain floor itself.
  manager->modernHiss->SetOutputLevel(level);
}

float NoiseReducFilter::GetOutputHissLevel() {
  std::lock_guard guard(lock);
  return outputHissLevel;
}

void NoiseReducFilter::ResetOutputHissLevel() { SetOutputHissLevel(0.625f); }

void NoiseReducFilter::SetInputHissLevel(float level) {
  std::lock_guard guard(lock);
  inputHissLevel = level;
  // The modern hiss remover keeps its manual level and uses it while the
  // automatic level is off.
  manager->modernHiss->SetInputLevel(level);
  if (autoInputHissLevel != 0) return;
  manager->noiseReduc->SetInputLevel(level * 60.0f - 20.0f);
}

float NoiseReducFilter::GetInputHissLevel() {
  std::lock_guard guard(lock);
  return inputHissLevel;
}

uint32_t NoiseReducFilter::GetClickMeter() {
  std::lock_guard guard(lock);
  return static_cast<uint32_t>(ReadDeclicker([](auto& declicker) { return declicker.ReadClickLevel(); }));
}

std::array<ClickReport*, 2> NoiseReducFilter::ActiveClickReports() {
  if (ModernActive()) return {&manager->modernDeclick->Clicks(), nullptr};
  return {&manager->declick[0]->Clicks(), &manager->declick[1]->Clicks()};
}

uint64_t NoiseReducFilter::GetClicksRepaired() {
  uint64_t total = 0;
  for (ClickReport* report : ActiveClickReports()) {
    if (report != nullptr) total += report->Repaired();
  }
  return total;
}

float NoiseReducFilter::GetHissLevelDb() {
  if (fullBypass.load() == 1) return std::numeric_limits<float>::quiet_NaN();
  return ModernActive() ? manager->modernHiss->HissLevelDb() : manager->noiseReduc->hissLevelDb.load();
}

uint32_t NoiseReducFilter::DrainClicks(ClickMark* marks, uint32_t capacity) {
  uint32_t count = 0;
  const double streamRate = sampleRate.load();
  for (ClickReport* report : ActiveClickReports()) {
    if (report == nullptr) continue;
    const double bandRate = report->Rate();
    const double scale = bandRate > 0.0 && streamRate > 0.0 ? streamRate / bandRate : 1.0;
    ClickMark mark;
    while (count < capacity && report->Pop(&mark)) {
      marks[count++] = {static_cast<uint64_t>(static_cast<double>(mark.frame) * scale),
                        std::max<uint32_t>(1, static_cast<uint32_t>(mark.width * scale))};
    }
  }
  return count;
}

void NoiseReducFilter::SetEngine(Engine choice) {
  std::lock_guard guard(lock);
  GraphLockHolder hold(domain);
  // The modern engine gives 16-bit samples back as they came through a
  // transparent chain; the classic one keeps its hosts' step toward zero.
  if (adapter) adapter->roundPcm16 = choice == Engine::Modern;
  if (manager->SetEngine(choice)) RestartStream();
}

void NoiseReducFilter::SetStage(Stage choice) {
  std::lock_guard guard(lock);
  GraphLockHolder hold(domain);
  if (choice == stage) return;
  stage = choice;
  const ModernPart part = choice == Stage::Declick ? ModernPart::DeclickOnly
                          : choice == Stage::Hiss  ? ModernPart::HissOnly
                                                   : ModernPart::Whole;
  // The hiss remover takes the declicker's buffers as they came inside one chain.
  adapter->SetChainFrames(choice == Stage::Hiss ? ExtentDeclick::kOutputFrames : Adapter::kChainFrames);
  manager->SetModernPart(part);
  RestartStream();
}

Engine NoiseReducFilter::GetEngine() {
  std::lock_guard guard(lock);
  return manager->engine;
}

void NoiseReducFilter::SetFormat(const WaveFormat& format) {
  GraphLockHolder hold(domain);
  const bool changed = format.channels != channels || format.samplesPerSec != sampleRate ||
                       (format.bitsPerSample >> 3) != bytesPerSample;
  channels = format.channels;
  sampleRate = format.samplesPerSec;
  bytesPerSample = format.bitsPerSample >> 3;
  const auto rate = static_cast<float>(format.samplesPerSec);
  adapter->SetHostRate(rate);
  adapter->SetHostChannels(format.channels);
  if (!changed) return;
  // A new format starts a new stream. The chain is rewired for the rate now
  // rather than at the first pass that carries audio (whose reset would
  // sweep that audio out of the chain and the Adapter), and everything left
  // from the previous format, in another layout, is dropped.
  manager->PrepareForRate(rate);
  RestartStream();
  // Bypassed frames still waiting are in the old layout too.
  bypassWaiting.clear();
}

void NoiseReducFilter::RestartStream() {
  GraphLockHolder hold(domain);
  adapter->RequestReset();
  adapter->Run();
}

uint32_t NoiseReducFilter::DeliverWaiting(uint8_t* out, uint32_t room) {
  const size_t frameBytes = static_cast<size_t>(channels) * bytesPerSample;
  if (frameBytes == 0 || bypassWaiting.empty()) return 0;
  const auto frames = static_cast<uint32_t>(std::min<size_t>(room, bypassWaiting.size() / frameBytes));
  const size_t bytes = frames * frameBytes;
  if (bytes > 0) std::memmove(out, bypassWaiting.data(), bytes);
  bypassWaiting.erase(bypassWaiting.begin(), bypassWaiting.begin() + static_cast<ptrdiff_t>(bytes));
  return frames;
}

int NoiseReducFilter::Process(const uint8_t* in, uint32_t frames, uint8_t* out,
                              uint32_t* outFrames) {
  // The whole call under GraphLock, so a format change from another thread
  // lands between buffers, never inside one.
  GraphLockHolder hold(domain);
  const size_t frameBytes = static_cast<size_t>(channels) * bytesPerSample;
  if (adapter && (fullBypass != 1 || stage != Stage::Whole)) {
    // Bypassed frames still waiting come out before the chain's.
    const uint32_t waited = out != nullptr && outFrames != nullptr ? DeliverWaiting(out, *outFrames) : 0;
    uint8_t* chainOut = out != nullptr ? out + waited * frameBytes : nullptr;
    uint32_t room = outFrames != nullptr ? *outFrames - waited : 0;
    uint32_t* chainFrames = outFrames != nullptr ? &room : nullptr;
    using Width = Adapter::SampleWidth;
    const Width host = bytesPerSample == 3 ? Width::Pcm24 : bytesPerSample == 1 ? Width::Pcm8 : Width::Pcm16;
    if (bytesPerSample < 1 || bytesPerSample > 3) {
      room = 0;  // no width this object knows: nothing runs
    } else {
      // A stage's float side carries the chain's samples to or from the other stage.
      adapter->TransformWidths(stage == Stage::Hiss ? Width::Float32 : host,
                               stage == Stage::Declick ? Width::Float32 : host, in, frames, chainOut, chainFrames);
    }
    if (outFrames != nullptr) *outFrames = waited + room;
    return outFrames == nullptr || *outFrames == 0 ? 1 : 0;
  }
  // Full bypass writes no more than the room holds, as the active path never
  // does; a caller without a room count (in place) has room for every frame.
  // What does not fit waits, behind anything already waiting.
  const uint32_t room = out == nullptr ? 0 : outFrames != nullptr ? *outFrames : frames;
  uint32_t written = 0;
  if (frameBytes > 0 && bypassWaiting.empty() && frames <= room) {
    if (frames > 0 && in != out) std::memmove(out, in, frames * frameBytes);
    written = frames;
  } else if (frameBytes > 0) {
    try {
      bypassWaiting.insert(bypassWaiting.end(), in, in + frames * frameBytes);
    } catch (const std::bad_alloc&) {
      // Out of memory: this input is lost; what waited still comes out.
    }
    written = DeliverWaiting(out, room);
  }
  if (outFrames != nullptr) *outFrames = written;
  return 0;
}

uint32_t NoiseReducFilter::GetLatencyFrames() {
  GraphLockHolder hold(domain);
  if (sampleRate == 0) return 0;
  const auto rate = static_cast<float>(sampleRate);
  // The hiss reducer hands each frame on one hop late; the declickers and
  // the banks keep samples in place. Above 48 kHz the hiss path runs on the
  // lower half band at half the rate, behind two levels of splitting.
  const Analysis& analysis = *manager->analysis;
  switch (manager->ShapeFor(rate)) {
    case NoiseReducManager::Shape::FourBand:
      // The inner split and merge run at half the rate: twice the delay.
      return 2 * Analysis::HopFor(rate * 0.5f, analysis.sizeMode, analysis.hopMode) +
             Frames(3.0 * kSplitMergeDelay);
    case NoiseReducManager::Shape::TwoBand:
      return Analysis::HopFor(rate, analysis.sizeMode, analysis.hopMode) + Frames(kSplitMergeDelay);
    case NoiseReducManager::Shape::FullBand:
      break;
    case NoiseReducManager::Shape::Modern:
      // Full band: the hiss remover's zero pre-roll (N - H) is the only
      // delay, the same at every frequency and also in its bypass. The
      // declicker holds frames back but hands each out in its place.
      return manager->modernPart == ModernPart::DeclickOnly ? 0 : HissRemover::LatencyFor(rate);
  }
  return Analysis::HopFor(rate, analysis.sizeMode, analysis.hopMode);
}

std::unique_ptr<NoiseReducFilter> CreateNoiseReducFilter(NoiseReducFilter::Locking locking) noexcept {
  try {
    return std::make_unique<NoiseReducFilter>(locking);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace veltane
