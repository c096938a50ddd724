// What a sound file's own header announces about its length, read without
// libsndfile: a cut-off file reads back through libsndfile as a shorter but
// whole-looking one, so the tool compares the announcement with the file.
//
// Knows RIFF and RIFX WAV, RF64, Sony Wave64, AIFF and AIFF-C, Sun/NeXT AU and
// Apple CAF; anything else announces nothing. Reads only the chunk headers it
// walks past (a few bytes each), never the audio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace veltane {

struct ContainerHeader {
  // Reads `bytes` bytes at `offset` into `to`; false when the file has fewer.
  using ReadAt = std::function<bool(uint64_t offset, void* to, size_t bytes)>;

  // Walks the header of a file of `fileBytes` bytes.
  static ContainerHeader Inspect(const ReadAt& read, uint64_t fileBytes);

  enum class Kind { Unknown, Riff, Rf64, Wave64, Aiff, Au, Caf };
  Kind kind = Kind::Unknown;
  // The file's length as its header announces it; 0 when it announces none
  // (a stream's writer leaves the sizes at 0 or all ones).
  uint64_t announcedBytes = 0;
  // How many of those bytes the file lacks, not counting the one pad byte
  // that closes an odd-sized last chunk when it is the only byte missing
  // (some writers leave it out).
  uint64_t missingBytes = 0;
  // WAV family: the format tag of the fmt chunk (0 when there is none) and
  // the frame count of the fact chunk (-1 when there is none): encodings in
  // blocks (ADPCM) fill their last block, and this count says where the
  // recording ends inside it.
  uint16_t formatTag = 0;
  int64_t factFrames = -1;
  // A LIST chunk whose fields run past its end: libsndfile loops for ever
  // on such a file, so it must not be given one.
  bool malformedList = false;
};

}  // namespace veltane
