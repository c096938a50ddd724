// Container headers: the announced length, walked chunk by chunk.
#include "veltane/ContainerHeader.h"

#include <algorithm>
#include <cstring>

namespace veltane {
namespace {

// More chunks than any real header has; a bound on a hostile file's walk.
constexpr int kMaxChunks = 4096;

uint32_t Little32(const uint8_t* b) { return b[0] | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24; }
uint32_t Big32(const uint8_t* b) { return b[3] | uint32_t{b[2]} << 8 | uint32_t{b[1]} << 16 | uint32_t{b[0]} << 24; }
uint64_t Little64(const uint8_t* b) { return Little32(b) | uint64_t{Little32(b + 4)} << 32; }
uint64_t Big64(const uint8_t* b) { return uint64_t{Big32(b)} << 32 | Big32(b + 4); }
bool Is(const uint8_t* b, const char* id) { return std::memcmp(b, id, 4) == 0; }

// A 32-bit size that stands for "unknown": a stream's writer leaves it so.
bool Unknown32(uint32_t size) { return size == 0 || size == UINT32_MAX; }

// The walk's findings: the end of the last chunk seen and the padding that
// follows it, which the file may lack.
struct Walk {
  uint64_t lastEnd = 0;
  uint64_t lastPad = 0;
  void Chunk(uint64_t end, uint64_t pad) {
    lastEnd = end;
    lastPad = pad;
  }
};

void Judge(ContainerHeader& header, uint64_t announced, const Walk& walk, uint64_t fileBytes) {
  header.announcedBytes = announced;
  if (announced <= fileBytes) return;
  const uint64_t missing = announced - fileBytes;
  const bool onlyPad = walk.lastEnd == fileBytes && missing <= walk.lastPad;
  header.missingBytes = onlyPad ? 0 : missing;
}

// Whether the fields of a LIST chunk, from `at` to its `end`, each fit in it.
template <typename Size32>
bool ListFits(const ContainerHeader::ReadAt& read, uint64_t at, uint64_t end, const Size32& size32) {
  uint8_t field[8];
  for (int n = 0; n < kMaxChunks && at + 8 <= end; ++n) {
    if (!read(at, field, 8)) return true;  // cut off: judged with the file's length
    const uint64_t size = size32(field + 4);
    if (at + 8 + size > end) return false;
    at += 8 + size + (size & 1);
  }
  return true;
}

// RIFF, RIFX and RF64: 4-byte ids and sizes, chunks padded to even lengths;
// RF64 keeps the sizes that do not fit 32 bits in its ds64 chunk.
void InspectRiff(ContainerHeader& header, const ContainerHeader::ReadAt& read, uint64_t fileBytes, bool big,
                 bool rf64) {
  uint8_t b[32];  // a chunk's header and, for ds64, its three sizes
  if (!read(0, b, 8)) return;
  const auto size32 = [big](const uint8_t* p) { return big ? Big32(p) : Little32(p); };
  uint64_t riffEnd = Unknown32(size32(b + 4)) ? 0 : uint64_t{size32(b + 4)} + 8;
  uint64_t dataSize64 = 0;
  uint64_t dataEnd = 0;
  Walk walk;
  uint64_t at = 12;
  for (int n = 0; n < kMaxChunks && at + 8 <= fileBytes && read(at, b, 8); ++n) {
    uint64_t size = size32(b + 4);
    if (rf64 && Is(b, "ds64") && size >= 24 && read(at + 8, b + 8, 24)) {
      riffEnd = Little64(b + 8) + 8;
      dataSize64 = Little64(b + 16);
      if (Little64(b + 24) > 0) header.factFrames = static_cast<int64_t>(Little64(b + 24));
    }
    uint8_t field[4];
    if (Is(b, "fmt ") && size >= 2 && read(at + 8, field, 2)) {
      header.formatTag = static_cast<uint16_t>(big ? (field[0] << 8 | field[1]) : (field[1] << 8 | field[0]));
    }
    if (Is(b, "fact") && size >= 4 && !rf64 && read(at + 8, field, 4)) header.factFrames = size32(field);
    if (Is(b, "LIST")) header.malformedList |= !ListFits(read, at + 12, at + 8 + size, size32);
    if (Is(b, "data")) {
      if (rf64 && size == UINT32_MAX) size = dataSize64;
      // A data chunk of unknown size runs to the end of the file.
      if (!rf64 && Unknown32(static_cast<uint32_t>(size))) break;
      dataEnd = at + 8 + size;
    }
    walk.Chunk(at + 8 + size, size & 1);
    at += 8 + size + (size & 1);
  }
  Judge(header, std::max(riffEnd, dataEnd), walk, fileBytes);
}

// Sony Wave64: GUIDs that begin with the lower-case id, 64-bit sizes that
// count the 24-byte chunk header, chunks padded to multiples of 8.
void InspectWave64(ContainerHeader& header, const ContainerHeader::ReadAt& read, uint64_t fileBytes) {
  uint8_t b[24];
  if (!read(0, b, 24)) return;
  const uint64_t riffEnd = Little64(b + 16);
  Walk walk;
  uint64_t at = 40;
  for (int n = 0; n < kMaxChunks && at + 24 <= fileBytes && read(at, b, 24); ++n) {
    const uint64_t size = Little64(b + 16);
    if (size < 24) break;
    uint8_t field[4];
    if (Is(b, "fmt ") && size >= 26 && read(at + 24, field, 2)) header.formatTag = Little32(field) & 0xFFFF;
    if (Is(b, "fact") && size >= 28 && read(at + 24, field, 4)) header.factFrames = Little32(field);
    const uint64_t pad = (8 - size % 8) % 8;
    walk.Chunk(at + size, pad);
    at += size + pad;
  }
  Judge(header, riffEnd, walk, fileBytes);
}

// AIFF and AIFF-C: big-endian 4-byte sizes, chunks padded to even lengths.
void InspectAiff(ContainerHeader& header, const ContainerHeader::ReadAt& read, uint64_t fileBytes) {
  uint8_t b[8];
  if (!read(0, b, 8)) return;
  const uint64_t formEnd = Unknown32(Big32(b + 4)) ? 0 : uint64_t{Big32(b + 4)} + 8;
  Walk walk;
  uint64_t at = 12;
  for (int n = 0; n < kMaxChunks && at + 8 <= fileBytes && read(at, b, 8); ++n) {
    const uint64_t size = Big32(b + 4);
    walk.Chunk(at + 8 + size, size & 1);
    at += 8 + size + (size & 1);
  }
  Judge(header, formEnd, walk, fileBytes);
}

// Apple CAF: 64-bit big-endian sizes; a data chunk of size -1 runs to the end.
void InspectCaf(ContainerHeader& header, const ContainerHeader::ReadAt& read, uint64_t fileBytes) {
  uint8_t b[12];
  Walk walk;
  uint64_t at = 8;
  for (int n = 0; n < kMaxChunks && at + 12 <= fileBytes && read(at, b, 12); ++n) {
    const uint64_t size = Big64(b + 4);
    if (size == UINT64_MAX) return;
    walk.Chunk(at + 12 + size, 0);
    at += 12 + size;
  }
  Judge(header, walk.lastEnd, walk, fileBytes);
}

// Sun/NeXT AU: the data's offset and size, big-endian (".snd") or little-
// endian ("dns."); a size of all ones means unknown.
void InspectAu(ContainerHeader& header, const ContainerHeader::ReadAt& read, uint64_t fileBytes, bool big) {
  uint8_t b[12];
  if (!read(0, b, 12)) return;
  const uint32_t offset = big ? Big32(b + 4) : Little32(b + 4);
  const uint32_t size = big ? Big32(b + 8) : Little32(b + 8);
  if (size == UINT32_MAX) return;
  Judge(header, uint64_t{offset} + size, Walk{}, fileBytes);
}

}  // namespace

ContainerHeader ContainerHeader::Inspect(const ReadAt& read, uint64_t fileBytes) {
  ContainerHeader header;
  uint8_t b[16];
  if (!read(0, b, 16)) return header;
  constexpr uint8_t kWave64[12] = {0x2E, 0x91, 0xCF, 0x11, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
  if ((Is(b, "RIFF") || Is(b, "RIFX")) && Is(b + 8, "WAVE")) {
    header.kind = Kind::Riff;
    InspectRiff(header, read, fileBytes, Is(b, "RIFX"), false);
  } else if ((Is(b, "RF64") || Is(b, "BW64")) && Is(b + 8, "WAVE")) {
    header.kind = Kind::Rf64;
    InspectRiff(header, read, fileBytes, false, true);
  } else if (Is(b, "riff") && std::memcmp(b + 4, kWave64, sizeof kWave64) == 0) {
    header.kind = Kind::Wave64;
    InspectWave64(header, read, fileBytes);
  } else if (Is(b, "FORM") && (Is(b + 8, "AIFF") || Is(b + 8, "AIFC"))) {
    header.kind = Kind::Aiff;
    InspectAiff(header, read, fileBytes);
  } else if (Is(b, ".snd") || Is(b, "dns.")) {
    header.kind = Kind::Au;
    InspectAu(header, read, fileBytes, Is(b, ".snd"));
  } else if (Is(b, "caff")) {
    header.kind = Kind::Caf;
    InspectCaf(header, read, fileBytes);
  }
  return header;
}

}  // namespace veltane
