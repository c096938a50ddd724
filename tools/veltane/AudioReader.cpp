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

// The file-system failures come first and by errno, so that a missing file
// is never reported as a damaged one.
ToolStatus CheckReadable(const std::string& path) {
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

// WAV (RIFF, RIFX) and AIFF (FORM) files give their own length in bytes 4
// to 7. A file shorter than that has lost its end: libsndfile reads around
// the loss without a word, but the user must know that the restored file
// would lack it. Returns the bytes missing (one pad byte may be). Files
// whose writer never filled the length in (0 or all ones) are not judged.
uint64_t MissingBytes(const uint8_t* head, size_t headBytes, uint64_t length) {
  if (headBytes < 8) return 0;
  const uint32_t little = head[4] | uint32_t{head[5]} << 8 | uint32_t{head[6]} << 16 | uint32_t{head[7]} << 24;
  const uint32_t big = head[7] | uint32_t{head[6]} << 8 | uint32_t{head[5]} << 16 | uint32_t{head[4]} << 24;
  uint32_t announced = 0;
  if (std::memcmp(head, "RIFF", 4) == 0) announced = little;
  if (std::memcmp(head, "RIFX", 4) == 0 || std::memcmp(head, "FORM", 4) == 0) announced = big;
  if (announced == 0 || announced == UINT32_MAX) return 0;
  const uint64_t whole = uint64_t{announced} + 8;
  return whole > length + 1 ? whole - length : 0;
}

// The same for a file on disk; only a regular file has a length to judge
// (and a pipe must not be read from here).
uint64_t MissingBytes(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  uint8_t head[8] = {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const ssize_t got = ::read(fd, head, sizeof head);
  ::close(fd);
  return got > 0 ? MissingBytes(head, static_cast<size_t>(got), static_cast<uint64_t>(info.st_size)) : 0;
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
  if (ToolStatus status = CheckReadable(path); !status.Ok()) return status;
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  return Adopt(path, file, info, nullptr, file != nullptr ? MissingBytes(path) : 0, reader);
}

ToolStatus AudioReader::OpenMemory(const std::string& name, std::vector<uint8_t> bytes,
                                   std::unique_ptr<AudioReader>* reader) {
  reader->reset();
  std::unique_ptr<MemoryFile> memory(new (std::nothrow) MemoryFile{std::move(bytes)});
  if (memory == nullptr) return Fail(ExitCode::Internal, "out of memory.");
  SF_VIRTUAL_IO io{&MemoryFile::Length, &MemoryFile::Seek, &MemoryFile::Read, &MemoryFile::Write,
                   &MemoryFile::Tell};
  SF_INFO info{};
  SNDFILE* file = sf_open_virtual(&io, SFM_READ, &info, memory.get());
  const uint64_t missing = MissingBytes(memory->bytes.data(), memory->bytes.size(), memory->bytes.size());
  return Adopt(name, file, info, std::move(memory), missing, reader);
}

ToolStatus AudioReader::Adopt(const std::string& path, SNDFILE* file, const SF_INFO& info,
                              std::unique_ptr<MemoryFile> memory, uint64_t missingBytes,
                              std::unique_ptr<AudioReader>* reader) {
  if (file == nullptr) {
    const int error = sf_error(nullptr);
    const std::string detail = LibraryMessage(sf_error_number(error));
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
  if (missingBytes > 0) {
    return Fail(ExitCode::InputCorrupt, Quoted(path) + " is damaged: it is cut off, " +
                                            std::to_string(missingBytes) + " bytes short of the length its header gives.");
  }
  reader->reset(new (std::nothrow) AudioReader(path, file, info.format, static_cast<uint32_t>(info.samplerate),
                                               static_cast<uint16_t>(info.channels), info.frames));
  if (*reader == nullptr) return Fail(ExitCode::Internal, "out of memory.");
  owned.release();
  (*reader)->memory = std::move(memory);
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

ToolStatus AudioReader::Read(uint8_t* pcm, uint32_t frames, uint32_t* got) {
  *got = 0;
  const size_t samples = static_cast<size_t>(frames) * channels;
  const uint32_t bits = 8 * codec.BytesPerSample();

  sf_count_t count = 0;
  if (subFormat == SF_FORMAT_PCM_16 && PcmCodec::IsNativeShorts(pcm)) {
    // 16-bit PCM as it is stored: the chain's own layout, read in place.
    count = sf_readf_short(file, reinterpret_cast<short*>(pcm), frames);
    if (count < static_cast<sf_count_t>(frames) && sf_error(file) != SF_ERR_NO_ERROR) return DecodingFailed(count);
    framesRead += static_cast<uint64_t>(count);
    *got = static_cast<uint32_t>(count);
    return ToolStatus::Success();
  }
  if (integers.size() < samples) integers.resize(samples);
  if (IsFloatLike(subFormat)) {
    if (reals.size() < samples) reals.resize(samples);
    count = sf_readf_double(file, reals.data(), frames);
    for (size_t i = 0; i < static_cast<size_t>(count) * channels; ++i) {
      integers[i] = PcmCodec::FromFloat(reals[i], bits);
    }
  } else {
    // libsndfile scales integers to the full int32 range, so plain PCM no
    // wider than the chain comes with zeros below the chain's width; 32-bit
    // PCM and the other codecs are rounded to it.
    count = sf_readf_int(file, integers.data(), frames);
    if (!FitsChain(subFormat, bits)) {
      for (size_t i = 0; i < static_cast<size_t>(count) * channels; ++i) {
        integers[i] = PcmCodec::RoundToBits(integers[i], bits);
      }
    }
  }
  if (count < static_cast<sf_count_t>(frames) && sf_error(file) != SF_ERR_NO_ERROR) return DecodingFailed(count);
  codec.Encode(integers.data(), pcm, static_cast<size_t>(count) * channels);
  framesRead += static_cast<uint64_t>(count);
  *got = static_cast<uint32_t>(count);
  return ToolStatus::Success();
}

}  // namespace veltane
