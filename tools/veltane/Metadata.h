// The metadata of a recording that the tool carries from INPUT into OUTPUT
// through libsndfile: text tags (WAV LIST/INFO, AIFF NAME/AUTH/(c)/ANNO, FLAC
// and Ogg Vorbis comments, CAF info), broadcast info (WAV bext), cue points
// (WAV cue, AIFF MARK), and the other chunks of a WAV, AIFF or CAF file (iXML,
// axml, smpl, cart, LIST/adtl cue labels, ...), passed through as they are
// into a file of the same family.
//
// Read from INPUT, written into OUTPUT before its audio, and read back from
// the finished OUTPUT: what did not arrive (the container cannot hold it, or
// libsndfile cannot read it from INPUT: INFO fields and Vorbis comments it
// does not know, FLAC pictures and cue sheets) is named for a warning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct sf_private_tag;

namespace veltane {

class Metadata {
 public:
  // What `file` (libsndfile major | sub type `format`) carries, before any
  // audio is read from it. Its chunks only when it is `seekable` (from a
  // stream libsndfile cannot read them back); `flacPath` names a FLAC file
  // to read again for the blocks libsndfile does not show (empty: none).
  static Metadata Read(sf_private_tag* file, int format, bool seekable, const std::string& flacPath);

  // Into a file opened for writing, before any audio; what the container
  // refuses is found later by Missing.
  void Write(sf_private_tag* file, int format) const;

  // What of this did not arrive in `written` (the finished OUTPUT read
  // back), and what could not be read from INPUT at all, in words.
  std::vector<std::string> Missing(const Metadata& written) const;

  // Bytes of the header this takes in a file, about.
  uint64_t Bytes() const;

 private:
  struct Chunk {
    std::string id;
    std::vector<uint8_t> data;
  };

  // Reads the chunks other than those libsndfile writes itself or carries
  // as tags, broadcast info and cue points; notes the text fields it cannot
  // read.
  void ReadChunks(sf_private_tag* file, int family);
  void ReadFlacBlocks(const std::string& path);
  // Whether libsndfile shows `value` as one of the file's text tags.
  bool IsTag(const std::string& value) const;

  int family = 0;                    // the container family: SF_FORMAT_WAV, _AIFF, _CAF, or 0
  std::vector<std::string> strings;  // by SF_STR_* type, empty when absent
  std::vector<uint8_t> broadcast;    // an SF_BROADCAST_INFO_VAR record, empty when absent
  std::vector<uint8_t> cues;         // an SF_CUES_VAR record, empty when absent
  std::vector<Chunk> chunks;
  std::vector<std::string> unreadable;  // in words, what libsndfile cannot read
};

}  // namespace veltane
