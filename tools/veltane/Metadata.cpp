// Metadata carried from INPUT into OUTPUT through libsndfile, and checked.
#include "veltane/Metadata.h"

#include <FLAC/metadata.h>
#include <sndfile.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

namespace veltane {
namespace {

// A broadcast record with room for a long coding history.
using Broadcast = SF_BROADCAST_INFO_VAR(32768);
constexpr size_t kBroadcastFixed = offsetof(SF_BROADCAST_INFO, coding_history_size);
// Metadata chunks beyond this are not metadata; they are not read.
constexpr uint32_t kMaxChunkBytes = 16u << 20;

constexpr int kStringTypes = SF_STR_LAST + 1;

std::string TagName(int type) {
  switch (type) {
    case SF_STR_TITLE:
      return "title";
    case SF_STR_COPYRIGHT:
      return "copyright";
    case SF_STR_SOFTWARE:
      return "software";
    case SF_STR_ARTIST:
      return "artist";
    case SF_STR_COMMENT:
      return "comment";
    case SF_STR_DATE:
      return "date";
    case SF_STR_ALBUM:
      return "album";
    case SF_STR_LICENSE:
      return "license";
    case SF_STR_TRACKNUMBER:
      return "track number";
    case SF_STR_GENRE:
      return "genre";
    default:
      return "text";
  }
}

int Family(int format) {
  switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
      return SF_FORMAT_WAV;
    case SF_FORMAT_AIFF:
      return SF_FORMAT_AIFF;
    case SF_FORMAT_CAF:
      return SF_FORMAT_CAF;
    default:
      return 0;
  }
}

// The chunks that describe the audio or its container, and those that
// libsndfile writes from the tags, broadcast info and cue points: never
// passed through.
bool OwnChunk(int family, const std::string& id) {
  static const char* const kWav[] = {"RIFF", "RIFX", "RF64", "BW64", "fmt ", "data", "fact", "ds64",
                                     "PEAK", "JUNK", "junk", "PAD ", "FLLR", "bext", "cue "};
  static const char* const kAiff[] = {"FORM", "COMM", "SSND", "FVER", "MARK", "NAME", "AUTH", "(c) ", "ANNO"};
  static const char* const kCaf[] = {"desc", "data", "free", "pakt", "info"};
  const auto in = [&id](const auto& list) {
    return std::any_of(std::begin(list), std::end(list), [&id](const char* own) { return id == own; });
  };
  return family == SF_FORMAT_WAV ? in(kWav) : family == SF_FORMAT_AIFF ? in(kAiff) : in(kCaf);
}

// Text without the NULs and spaces that pad it in a chunk.
std::string Trimmed(const uint8_t* text, size_t size) {
  std::string value(reinterpret_cast<const char*>(text), size);
  value.erase(std::find(value.begin(), value.end(), '\0'), value.end());
  while (!value.empty() && value.back() == ' ') value.pop_back();
  return value;
}

std::string Quoted(const std::string& id) { return "'" + id + "'"; }

}  // namespace

Metadata Metadata::Read(SNDFILE* file, int format, bool seekable, const std::string& flacPath) {
  Metadata metadata;
  metadata.family = Family(format);
  metadata.strings.resize(kStringTypes);
  for (int type = SF_STR_FIRST; type <= SF_STR_LAST; ++type) {
    const char* text = sf_get_string(file, type);
    if (text != nullptr) metadata.strings[static_cast<size_t>(type)] = text;
  }
  std::vector<uint8_t> broadcast(sizeof(Broadcast));
  if (sf_command(file, SFC_GET_BROADCAST_INFO, broadcast.data(), static_cast<int>(broadcast.size())) == SF_TRUE) {
    // Only as long as its coding history: libsndfile refuses to write a
    // record much longer than what it holds.
    uint32_t history = 0;
    std::memcpy(&history, broadcast.data() + kBroadcastFixed, sizeof history);
    const size_t used =
        offsetof(Broadcast, coding_history) + std::min<size_t>(history, sizeof(Broadcast::coding_history));
    broadcast.resize(std::max(used, sizeof(SF_BROADCAST_INFO)));
    metadata.broadcast = std::move(broadcast);
  }
  uint32_t cueCount = 0;
  if (sf_command(file, SFC_GET_CUE_COUNT, &cueCount, sizeof cueCount) == SF_TRUE && cueCount > 0) {
    std::vector<uint8_t> cues(sizeof(uint32_t) + size_t{cueCount} * sizeof(SF_CUE_POINT));
    if (sf_command(file, SFC_GET_CUE, cues.data(), static_cast<int>(cues.size())) == SF_TRUE) {
      metadata.cues = std::move(cues);
    }
  }
  if (seekable) {
    metadata.ReadChunks(file, metadata.family);
    // Reading a chunk moved the file's position away from the audio.
    sf_seek(file, 0, SEEK_SET);
  }
  if (!flacPath.empty() && (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC) metadata.ReadFlacBlocks(flacPath);
  return metadata;
}

bool Metadata::IsTag(const std::string& value) const {
  return !value.empty() && std::find(strings.begin(), strings.end(), value) != strings.end();
}

void Metadata::ReadChunks(SNDFILE* file, int ofFamily) {
  if (ofFamily == 0) return;
  for (SF_CHUNK_ITERATOR* it = sf_get_chunk_iterator(file, nullptr); it != nullptr; it = sf_next_chunk_iterator(it)) {
    SF_CHUNK_INFO info{};
    uint8_t none = 0;
    if (sf_get_chunk_size(it, &info) != SF_ERR_NO_ERROR) continue;
    const uint32_t size = info.datalen;
    // Asking for no data gives the chunk's id.
    info.datalen = 0;
    info.data = &none;
    if (sf_get_chunk_data(it, &info) != SF_ERR_NO_ERROR || info.id_size != 4) continue;
    const std::string id(info.id, 4);
    if (OwnChunk(ofFamily, id)) continue;
    if (size > kMaxChunkBytes) {
      unreadable.push_back("the " + Quoted(id) + " chunk (too large to carry)");
      continue;
    }
    Chunk chunk{id, std::vector<uint8_t>(size)};
    info.datalen = size;
    info.data = chunk.data.data();
    if (size > 0 && (sf_get_chunk_data(it, &info) != SF_ERR_NO_ERROR || info.datalen != size)) {
      unreadable.push_back("the " + Quoted(id) + " chunk (unreadable)");
      continue;
    }
    // LIST/INFO and AIFF's text chunks come back as tags; a field that no
    // tag shows is one libsndfile does not know.
    if (id == "LIST" && size >= 4 && std::memcmp(chunk.data.data(), "INFO", 4) == 0) {
      for (size_t at = 4; at + 8 <= size;) {
        const uint8_t* field = chunk.data.data() + at;
        const uint32_t length =
            field[4] | uint32_t{field[5]} << 8 | uint32_t{field[6]} << 16 | uint32_t{field[7]} << 24;
        const std::string name(reinterpret_cast<const char*>(field), 4);
        if (!IsTag(Trimmed(field + 8, std::min<size_t>(length, size - at - 8)))) {
          unreadable.push_back("the INFO field " + Quoted(name));
        }
        at += 8 + size_t{length} + (length & 1);
      }
      continue;
    }
    // An APPL chunk that holds the software tag comes back as the tag.
    const size_t signature = std::min<size_t>(4, size);
    if (id == "APPL" && IsTag(Trimmed(chunk.data.data() + signature, size - signature))) continue;
    chunks.push_back(std::move(chunk));
  }
}

void Metadata::ReadFlacBlocks(const std::string& path) {
  FLAC__Metadata_SimpleIterator* it = FLAC__metadata_simple_iterator_new();
  if (it == nullptr) return;
  std::vector<std::string> shown;  // tags matched by a comment already
  if (FLAC__metadata_simple_iterator_init(it, path.c_str(), true, false)) {
    do {
      switch (FLAC__metadata_simple_iterator_get_block_type(it)) {
        case FLAC__METADATA_TYPE_VORBIS_COMMENT: {
          FLAC__StreamMetadata* block = FLAC__metadata_simple_iterator_get_block(it);
          if (block == nullptr) break;
          const FLAC__StreamMetadata_VorbisComment& comments = block->data.vorbis_comment;
          for (uint32_t i = 0; i < comments.num_comments; ++i) {
            const std::string entry(reinterpret_cast<const char*>(comments.comments[i].entry),
                                    comments.comments[i].length);
            const size_t equals = entry.find('=');
            const std::string value = equals == std::string::npos ? "" : entry.substr(equals + 1);
            // Each tag shows one comment; a second with the same value is lost.
            if (IsTag(value) && std::find(shown.begin(), shown.end(), value) == shown.end()) {
              shown.push_back(value);
            } else {
              unreadable.push_back("the Vorbis comment " + Quoted(entry.substr(0, equals)));
            }
          }
          FLAC__metadata_object_delete(block);
          break;
        }
        case FLAC__METADATA_TYPE_PICTURE:
          unreadable.push_back("a picture");
          break;
        case FLAC__METADATA_TYPE_CUESHEET:
          unreadable.push_back("a cue sheet");
          break;
        case FLAC__METADATA_TYPE_APPLICATION:
          unreadable.push_back("an application block");
          break;
        default:
          break;
      }
    } while (FLAC__metadata_simple_iterator_next(it));
  }
  FLAC__metadata_simple_iterator_delete(it);
}

void Metadata::Write(SNDFILE* file, int format) const {
  for (size_t type = 0; type < strings.size(); ++type) {
    if (!strings[type].empty()) sf_set_string(file, static_cast<int>(type), strings[type].c_str());
  }
  if (!broadcast.empty()) {
    std::vector<uint8_t> record = broadcast;  // libsndfile takes it non-const
    sf_command(file, SFC_SET_BROADCAST_INFO, record.data(), static_cast<int>(record.size()));
  }
  if (!cues.empty()) {
    std::vector<uint8_t> record = cues;
    sf_command(file, SFC_SET_CUE, record.data(), static_cast<int>(record.size()));
  }
  if (Family(format) != family) return;
  for (const Chunk& chunk : chunks) {
    SF_CHUNK_INFO info{};
    std::memcpy(info.id, chunk.id.data(), 4);
    info.id_size = 4;
    info.datalen = static_cast<unsigned>(chunk.data.size());
    // libsndfile keeps the pointer until the file is closed; the chunks
    // outlive the writer.
    info.data = const_cast<uint8_t*>(chunk.data.data());
    sf_set_chunk(file, &info);
  }
}

std::vector<std::string> Metadata::Missing(const Metadata& written) const {
  std::vector<std::string> missing = unreadable;
  for (size_t type = 0; type < strings.size(); ++type) {
    const std::string& value = strings[type];
    // libsndfile may add its own name to the software tag.
    const bool arrived = type < written.strings.size() && written.strings[type].rfind(value, 0) == 0;
    if (!value.empty() && !arrived) missing.push_back("the " + TagName(static_cast<int>(type)) + " tag");
  }
  if (!broadcast.empty() && (written.broadcast.empty() ||
                             std::memcmp(broadcast.data(), written.broadcast.data(), kBroadcastFixed) != 0)) {
    missing.push_back("the broadcast information (bext)");
  }
  if (!cues.empty() && written.cues.size() != cues.size()) {
    uint32_t count = 0;
    std::memcpy(&count, cues.data(), sizeof count);
    missing.push_back(std::to_string(count) + (count == 1 ? " cue point" : " cue points"));
  }
  for (const Chunk& chunk : chunks) {
    // libsndfile pads a chunk it writes to a multiple of four bytes.
    const bool arrived = std::any_of(written.chunks.begin(), written.chunks.end(), [&chunk](const Chunk& other) {
      return other.id == chunk.id && other.data.size() >= chunk.data.size() &&
             std::equal(chunk.data.begin(), chunk.data.end(), other.data.begin()) &&
             std::all_of(other.data.begin() + static_cast<ptrdiff_t>(chunk.data.size()), other.data.end(),
                         [](uint8_t byte) { return byte == 0; });
    });
    if (!arrived) missing.push_back("the " + Quoted(chunk.id) + " chunk");
  }
  return missing;
}

uint64_t Metadata::Bytes() const {
  uint64_t bytes = broadcast.size() + cues.size();
  for (const std::string& value : strings) bytes += value.size() + 16;
  for (const Chunk& chunk : chunks) bytes += chunk.data.size() + 16;
  return bytes;
}

}  // namespace veltane
