// Reads an audio file through libsndfile as the interleaved PCM the
// processing object restores: 8- and 16-bit PCM as it is, anything wider or
// floating-point rounded to 24 bits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "veltane/ExitCode.h"
#include "veltane/Metadata.h"
#include "veltane/PcmCodec.h"
#include "veltane/Restorer.h"

struct sf_private_tag;
struct SF_INFO;

namespace veltane {

struct ContainerHeader;

class AudioReader : public Restorer::Source {
 public:
  // Tells a missing file (InputMissing), one that cannot be read
  // (InputUnreadable), one that is not decodable audio or has lost its end
  // (InputCorrupt) and audio the tool cannot restore, such as more than two
  // channels (Unsupported) apart.
  static ToolStatus Open(const std::string& path, std::unique_ptr<AudioReader>* reader);
  // The same for a file already in memory (libsndfile's virtual I/O), named
  // `name` in messages; the fuzz target feeds it arbitrary bytes.
  static ToolStatus OpenMemory(const std::string& name, std::vector<uint8_t> bytes,
                               std::unique_ptr<AudioReader>* reader);
  // Only the file-system failures (InputMissing, InputUnreadable), without
  // opening anything: a named pipe probed would lose its writer.
  static ToolStatus CheckInput(const std::string& path);
  ~AudioReader() override;
  AudioReader(const AudioReader&) = delete;
  AudioReader& operator=(const AudioReader&) = delete;

  int MajorFormat() const { return majorFormat; }  // SF_FORMAT_WAV, ...
  int SubFormat() const { return subFormat; }      // SF_FORMAT_PCM_16, ...
  uint32_t SampleRate() const { return sampleRate; }
  uint16_t Channels() const { return channels; }
  // As the file's header announces it, -1 when it announces nothing (a
  // stream). Read delivers exactly this many frames, or fails.
  int64_t AnnouncedFrames() const { return announcedFrames; }
  // Bytes per sample of the PCM that the chain restores: 1, 2 or 3.
  uint32_t ChainBytes() const { return codec.BytesPerSample(); }
  const Metadata& Tags() const { return metadata; }
  // From now on Read gives the samples as libsndfile decodes them, not as
  // the chain's PCM: doubles (full scale 1.0) for floating-point and lossy
  // formats, else int32 at full scale. For a bypass that must not round.
  void KeepSamplesExact() { exact = true; }
  // Bytes per sample that Read delivers.
  uint32_t SampleBytes() const;

  // A decoding failure part-way through, or an end before the announced
  // length, is InputCorrupt.
  ToolStatus Read(uint8_t* pcm, uint32_t frames, uint32_t* got) override;

 private:
  struct MemoryFile;

  AudioReader(std::string path, sf_private_tag* file, int format, uint32_t rate, uint16_t channelCount,
              int64_t frames);
  // Classifies a failed open, checks the channels and the file's length
  // against its `header` and takes over `file` (and `memory`, which it reads
  // from). `stream`: a pipe, whose length nothing tells in advance.
  static ToolStatus Adopt(const std::string& path, sf_private_tag* file, const SF_INFO& info,
                          std::unique_ptr<MemoryFile> memory, const ContainerHeader& header, bool stream,
                          std::unique_ptr<AudioReader>* reader);
  // InputCorrupt for a read that stopped `count` frames into its request.
  ToolStatus DecodingFailed(int64_t count) const;

  std::unique_ptr<MemoryFile> memory;  // destroyed after `file` is closed
  std::string path;
  sf_private_tag* file;
  int majorFormat;
  int subFormat;
  uint32_t sampleRate;
  uint16_t channels;
  int64_t announcedFrames;
  PcmCodec codec;
  Metadata metadata;
  bool exact = false;
  uint64_t framesRead = 0;
  std::vector<int32_t> integers;  // one block of samples, grown on demand
  std::vector<double> reals;
};

}  // namespace veltane
