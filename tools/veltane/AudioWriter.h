// Writes the restored PCM to OUTPUT without ever leaving half a file there:
// the audio goes to a hidden temporary file beside OUTPUT, which replaces
// OUTPUT in one rename only once it is complete. A writer destroyed before
// Commit removes its temporary file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "veltane/CommandLine.h"
#include "veltane/ExitCode.h"
#include "veltane/Metadata.h"
#include "veltane/PcmCodec.h"
#include "veltane/Restorer.h"

struct sf_private_tag;

namespace veltane {

class AudioWriter : public Restorer::Sink {
 public:
  struct Target {
    int format = 0;  // libsndfile major | sub type, as ChooseFormat gives it
    uint32_t sampleRate = 0;
    uint16_t channels = 0;
    uint32_t chainBytes = 2;  // bytes per sample of the PCM handed to Write
    int64_t frames = -1;      // the length to come, -1 when unknown (a stream)
    // What Write takes: the chain's PCM, or exact samples (as AudioReader
    // gives them with KeepSamplesExact) for a file of the input's format.
    enum class Samples { ChainPcm, Int32, Double } samples = Samples::ChainPcm;
    // INPUT's, to carry into OUTPUT; not owned, kept until the writer is gone.
    const Metadata* metadata = nullptr;
  };

  // Sets target->format from the other fields. The container follows
  // OUTPUT's name when it ends in .wav, .flac, .aif, .aiff or .aifc, and
  // INPUT's otherwise (a WAV-family input keeps its own flavour under a .wav
  // name). A WAV becomes RF64 when the audio would pass the 4 GiB its sizes
  // can count, or may (unknown length; it then stays WAV if it ends small);
  // AIFF and AU refuse such audio. The sample format is the one asked for,
  // else the input's, else, when the container cannot hold the input's or
  // the input's is a codec that pads its last block (ADPCM, GSM), PCM of
  // the chain's width. Unsupported when nothing fits.
  static ToolStatus ChooseFormat(const std::string& outputPath, int inputFormat, OutputSampleFormat wanted,
                                 Target* target);

  // Refuses an OUTPUT that is a directory, a device, a pipe or
  // write-protected, and creates the temporary file (OutputUnwritable on
  // failure).
  static ToolStatus Open(const std::string& path, const Target& target, std::unique_ptr<AudioWriter>* writer);
  ~AudioWriter() override;
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;

  // Unsupported when a container with 32-bit sizes would pass 4 GiB.
  ToolStatus Write(const uint8_t* pcm, uint32_t frames) override;
  // Finishes the file, checks that it reads back with every frame written
  // (Unsupported otherwise), syncs it and moves it over OUTPUT (with the
  // permissions of the file it replaces, or those a new file would get),
  // then syncs the folder. Interrupted when a stop signal waits.
  ToolStatus Commit();

  const std::string& TemporaryPath() const { return temporaryPath; }
  // After Commit: what of the target's metadata OUTPUT lacks, in words.
  const std::vector<std::string>& Lost() const { return lost; }

 private:
  AudioWriter(std::string path, std::string temporary, int fd, const Target& target);
  ToolStatus CheckRoom(uint32_t frames) const;

  std::string path;
  std::string temporaryPath;  // empty once it is OUTPUT
  int fd;                     // the temporary file, open from creation to commit
  sf_private_tag* file;
  Target target;
  PcmCodec codec;
  bool floatLike;
  uint32_t outputBits;  // rounding applied before libsndfile truncates
  uint64_t framesWritten = 0;
  std::vector<int32_t> integers;
  std::vector<double> reals;
  std::vector<std::string> lost;
};

}  // namespace veltane
