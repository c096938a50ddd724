// Input files through libsndfile.
#include "veltane/AudioReader.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "veltane/ContainerHeader.h"
#include "veltane/SoundFormats.h"

namespace veltane {
namespace {

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

ToolStatus Fail(ExitCode code, std::string text) { return ToolStatus::Failure(code, std::move(text)); }

// True for the plain PCM formats that libsndfile hands over exactly, when
// they are no wider than `bits`.
bool FitsChain(int subFormat, uint32_t bits) {
  switch (subFormat) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
      return bits >= 8;
    case SF_FORMAT_PCM_16:
      return bits >= 16;
    case SF_FORMAT_PCM_24:
      return bits >= 24;
    default:
      return false;
  }
}

}  // namespace

// The file-system failures come first and by errno, so that a missing file
// is never reported as a damaged one.
ToolStatus AudioReader::CheckInput(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Fail(ExitCode::InputMissing, Quoted(path) + " does not exist.");
    return Fail(ExitCode::InputUnreadable, "cannot read " + Quoted(path) + ": " + std::strerror(errno) + ".");
  }
  if (S_ISDIR(info.st_mode)) {
    return Fail(ExitCode::InputUnreadable, Quoted(path) + " is a directory, not an audio file.");
  }
  // access, not open: opening a named pipe to probe it would consume its writer.
  if (::access(path.c_str(), R_OK) != 0) {
    return Fail(ExitCode::InputUnreadable, "cannot read " + Quoted(path) + ": " + std::strerror(errno) + ".");
  }
  return ToolStatus::Success();
}

namespace {

// Beyond any real recording (six years at 96 kHz): a length libsndfile
// reports for a stream that announced none.
constexpr int64_t kUnknownFrames = int64_t{1} << 40;

// The header of a file on disk; only a regular file has a length to judge,
// and a pipe must not be read from here (its writer would lose the bytes).
ContainerHeader InspectFile(const std::string& path, bool* regular) {
  struct stat info {};
  *regular = ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  if (!*regular) return {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const ContainerHeader header = ContainerHeader::Inspect(
      [fd](uint64_t offset, void* to, size_t bytes) {
        return ::pread(fd, to, bytes, static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes);
      },
      static_cast<uint64_t>(info.st_size));
  ::close(fd);
  return header;
}

ToolStatus Malformed(const std::string& path) {
  return Fail(ExitCode::InputCorrupt,
              Quoted(path) + " is damaged: a field of its LIST chunk runs past the chunk's end.");
}

bool IsWavFamily(ContainerHeader::Kind kind) {
  return kind == ContainerHeader::Kind::Riff || kind == ContainerHeader::Kind::Rf64 ||
         kind == ContainerHeader::Kind::Wave64;
}

// The WAV format tags libsndfile decodes: PCM, MS ADPCM, IEEE float, A-law,
// mu-law, IMA ADPCM, GSM 6.10, G.721, MPEG, MPEG layer 3, extensible.
bool DecodableTag(uint16_t tag) {
  for (uint16_t known : {0x0001, 0x0002, 0x0003, 0x0006, 0x0007, 0x0011, 0x0031, 0x0040, 0x0050, 0x0055, 0xFFFE}) {
    if (tag == known) return true;
  }
  return false;
}

// The frame count the input announces, or -1 when it announces none.
// libsndfile gives whole blocks of a block codec (the fact chunk says where
// the recording ends in the last one), and for a stream the raw header
// figure, whose 32-bit "unknown" (all ones) reads as a huge length.
int64_t FramesAnnounced(const SF_INFO& info, const ContainerHeader& header, bool stream) {
  const int sub = info.format & SF_FORMAT_SUBMASK;
  int64_t frames = info.frames;
  if (PadsBlocks(sub) && header.factFrames >= 0 && header.factFrames < frames) frames = header.factFrames;
  const uint64_t frameBytes = uint64_t{StoredBytes(sub)} * static_cast<uint64_t>(std::max(info.channels, 1));
  const bool allOnes = stream && frameBytes > 0 && static_cast<uint64_t>(frames) >= (UINT32_MAX - 4096) / frameBytes;
  return frames < 0 || frames >= kUnknownFrames || allOnes ? -1 : frames;
}

}  // namespace

// libsndfile's virtual I/O over bytes in memory.
struct AudioReader::MemoryFile {
  std::vector<uint8_t> bytes;
  sf_count_t position = 0;

  static MemoryFile& Of(void* user) { return *static_cast<MemoryFile*>(user); }
  static sf_count_t Length(void* user) { return static_cast<sf_count_t>(Of(user).bytes.size()); }
  static sf_count_t Seek(sf_count_t offset, int whence, void* user) {
    MemoryFile& memory = Of(user);
    const sf_count_t base = whence == SEEK_CUR ? memory.position : whence == SEEK_END ? Length(user) : 0;
    // Out of range (or overflowing) seeks fail and leave the position alone.
    if (offset < -base || offset > Length(user) - base) return -1;
    memory.position = base + offset;
    return memory.position;
  }
  static sf_count_t Read(void* to, sf_count_t count, void* user) {
    MemoryFile& memory = Of(user);
    const sf_count_t n = std::clamp<sf_count_t>(count, 0, Length(user) - memory.position);
    if (n > 0) std::memcpy(to, memory.bytes.data() + memory.position, static_cast<size_t>(n));
    memory.position += n;
    return n;
  }
  static sf_count_t Write(const void*, sf_count_t, void*) { return 0; }
  static sf_count_t Tell(void* user) { return Of(user).position; }
};

ToolStatus AudioReader::Open(const std::string& path, std::unique_ptr<AudioReader>* reader) {
  reader->reset();
  if (ToolStatus status = CheckInput(path); !status.Ok()) return status;
  bool regular = false;
  const ContainerHeader header = InspectFile(path, &regular);
  if (header.malformedList) return Malformed(path);
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  return Adopt(path, file, info, nullptr, header, !regular, reader);
}

ToolStatus AudioReader::OpenMemory(const std::string& name, std::vector<uint8_t> bytes,
                                   std::unique_ptr<AudioReader>* reader) {
  reader->reset();
  std::unique_ptr<MemoryFile> memory(new (std::nothrow) MemoryFile{std::move(bytes)});
  if (memory == nullptr) return Fail(ExitCode::Internal, "out of memory.");
  SF_VIRTUAL_IO io{&MemoryFile::Length, &MemoryFile::Seek, &MemoryFile::Read, &MemoryFile::Write,
                   &MemoryFile::Tell};
  const std::vector<uint8_t>& held = memory->bytes;
  const ContainerHeader header = ContainerHeader::Inspect(
      [&held](uint64_t offset, void* to, size_t count) {
        if (offset > held.size() || count > held.size() - offset) return false;
        std::memcpy(to, held.data() + offset, count);
        return true;
      },
      held.size());
  if (header.malformedList) return Malformed(name);
  SF_INFO info{};
  SNDFILE* file = sf_open_virtual(&io, SFM_READ, &info, memory.get());
  return Adopt(name, file, info, std::move(memory), header, false, reader);
}

ToolStatus AudioReader::Adopt(const std::string& path, SNDFILE* file, const SF_INFO& info,
                              std::unique_ptr<MemoryFile> memory, const ContainerHeader& header, bool stream,
                              std::unique_ptr<AudioReader>* reader) {
  if (file == nullptr) {
    const int error = sf_error(nullptr);
    const std::string detail = LibraryMessage(sf_error_number(error));
    // libsndfile calls a format tag it does not know a malformed header.
    if (IsWavFamily(header.kind) && header.formatTag != 0 && !DecodableTag(header.formatTag)) {
      char tag[8];
      std::snprintf(tag, sizeof tag, "0x%04X", header.formatTag);
      return Fail(ExitCode::Unsupported, Quoted(path) + " uses WAV format tag " + tag +
                                             ", an encoding veltane cannot decode.");
    }
    if (error == SF_ERR_UNSUPPORTED_ENCODING) {
      return Fail(ExitCode::Unsupported, Quoted(path) + " uses an encoding veltane cannot decode (" + detail + ").");
    }
    if (error == SF_ERR_SYSTEM) {
      return Fail(ExitCode::InputUnreadable, "cannot read " + Quoted(path) + " (" + detail + ").");
    }
    return Fail(ExitCode::InputCorrupt,
                Quoted(path) + " is not an audio file veltane can read, or it is damaged (" + detail + ").");
  }

  std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> owned(file, sf_close);
  if (info.channels > 2) {
    return Fail(ExitCode::Unsupported, Quoted(path) + " has " + std::to_string(info.channels) +
                                           " channels; veltane restores mono and stereo recordings only.");
  }
  if (info.channels < 1 || info.samplerate < 1) {
    return Fail(ExitCode::InputCorrupt, Quoted(path) + " is damaged: its header gives no channels or no sample rate.");
  }
  if (header.missingBytes > 0) {
    const uint64_t missing = header.missingBytes;
    return Fail(ExitCode::InputCorrupt, Quoted(path) + " is damaged: it is cut off, " + std::to_string(missing) +
                                            (missing == 1 ? " byte" : " bytes") +
                                            " short of the length its header gives.");
  }
  reader->reset(new (std::nothrow) AudioReader(path, file, info.format, static_cast<uint32_t>(info.samplerate),
                                               static_cast<uint16_t>(info.channels),
                                               FramesAnnounced(info, header, stream)));
  if (*reader == nullptr) return Fail(ExitCode::Internal, "out of memory.");
  owned.release();
  (*reader)->memory = std::move(memory);
  // Chunks only from a file on disk: libsndfile cannot read them back from
  // a stream, and divides by zero reading them through virtual I/O.
  const bool onDisk = !stream && (*reader)->memory == nullptr;
  (*reader)->metadata = Metadata::Read(file, info.format, onDisk, onDisk ? path : std::string());
  return ToolStatus::Success();
}

AudioReader::AudioReader(std::string pathIn, SNDFILE* fileIn, int format, uint32_t rate, uint16_t channelCount,
                         int64_t frames)
    : path(std::move(pathIn)),
      file(fileIn),
      majorFormat(format & SF_FORMAT_TYPEMASK),
      subFormat(format & SF_FORMAT_SUBMASK),
      sampleRate(rate),
      channels(channelCount),
      announcedFrames(frames),
      codec(ChainBytesFor(format & SF_FORMAT_SUBMASK)) {}

AudioReader::~AudioReader() { sf_close(file); }

ToolStatus AudioReader::DecodingFailed(int64_t count) const {
  return Fail(ExitCode::InputCorrupt, Quoted(path) + " is damaged: decoding failed after " +
                                          std::to_string(framesRead + static_cast<uint64_t>(count)) + " frames (" +
                                          LibraryMessage(sf_strerror(file)) + ").");
}

uint32_t AudioReader::SampleBytes() const {
  if (!exact) return codec.BytesPerSample();
  return IsFloatLike(subFormat) ? sizeof(double) : sizeof(int32_t);
}

ToolStatus AudioReader::Read(uint8_t* pcm, uint32_t frames, uint32_t* got) {
  *got = 0;
  // Not past the announced end: a block codec's last block is padded.
  if (announcedFrames >= 0) {
    frames = static_cast<uint32_t>(std::min<uint64_t>(frames, static_cast<uint64_t>(announcedFrames) - framesRead));
  }
  const size_t samples = static_cast<size_t>(frames) * channels;
  const uint32_t bits = 8 * codec.BytesPerSample();

  sf_count_t count = 0;
  // 16-bit PCM as it is stored is the chain's own layout: read in place.
  const bool inPlace = !exact && subFormat == SF_FORMAT_PCM_16 && PcmCodec::IsNativeShorts(pcm);
  if (inPlace) {
    count = sf_readf_short(file, reinterpret_cast<short*>(pcm), frames);
  } else if (IsFloatLike(subFormat)) {
    if (integers.size() < samples) integers.resize(samples);
    if (reals.size() < samples) reals.resize(samples);
    count = sf_readf_double(file, reals.data(), frames);
    for (size_t i = 0; !exact && i < static_cast<size_t>(count) * channels; ++i) {
      integers[i] = PcmCodec::FromFloat(reals[i], bits);
    }
  } else {
    // libsndfile scales integers to the full int32 range, so plain PCM no
    // wider than the chain comes with zeros below the chain's width; 32-bit
    // PCM and the other codecs are rounded to it.
    if (integers.size() < samples) integers.resize(samples);
    count = sf_readf_int(file, integers.data(), frames);
    const bool round = !exact && !FitsChain(subFormat, bits);
    for (size_t i = 0; round && i < static_cast<size_t>(count) * channels; ++i) {
      integers[i] = PcmCodec::RoundToBits(integers[i], bits);
    }
  }
  if (count < static_cast<sf_count_t>(frames) && sf_error(file) != SF_ERR_NO_ERROR) return DecodingFailed(count);
  if (count == 0 && frames > 0 && announcedFrames >= 0) {
    return Fail(ExitCode::InputCorrupt, Quoted(path) + " is damaged: it ends after " + std::to_string(framesRead) +
                                            " of the " + std::to_string(announcedFrames) +
                                            " frames its header announces.");
  }
  const size_t decoded = static_cast<size_t>(count) * channels;
  if (!inPlace && !exact) {
    codec.Encode(integers.data(), pcm, decoded);
  } else if (!inPlace) {
    std::memcpy(pcm, IsFloatLike(subFormat) ? static_cast<const void*>(reals.data()) : integers.data(),
                decoded * (IsFloatLike(subFormat) ? sizeof(double) : sizeof(int32_t)));
  }
  framesRead += static_cast<uint64_t>(count);
  *got = static_cast<uint32_t>(count);
  return ToolStatus::Success();
}

}  // namespace veltane
