// Output files through libsndfile, by way of a temporary file and a rename.
#include "veltane/AudioWriter.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>

#include "veltane/SoundFormats.h"

namespace veltane {
namespace {

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

ToolStatus Unwritable(const std::string& path, const std::string& why) {
  return ToolStatus::Failure(ExitCode::OutputUnwritable, "cannot write " + Quoted(path) + ": " + why + ".");
}

std::string Lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool IsWavFamily(int major) { return major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64; }

// The container OUTPUT's name asks for, or 0 when its name says nothing.
int ContainerForName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return 0;
  const std::string extension = Lowercase(path.substr(dot + 1));
  if (extension == "wav") return SF_FORMAT_WAV;
  if (extension == "flac") return SF_FORMAT_FLAC;
  if (extension == "aif" || extension == "aiff" || extension == "aifc") return SF_FORMAT_AIFF;
  return 0;
}

bool Writable(int format, uint32_t sampleRate, uint16_t channels) {
  SF_INFO info{};
  info.format = format;
  info.samplerate = static_cast<int>(sampleRate);
  info.channels = channels;
  return sf_format_check(&info) != 0;
}

// 8-bit PCM is unsigned in WAV and signed elsewhere; try the container's
// own first.
int Pcm8For(int major, uint32_t sampleRate, uint16_t channels) {
  const int first = IsWavFamily(major) ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_S8;
  const int second = first == SF_FORMAT_PCM_U8 ? SF_FORMAT_PCM_S8 : SF_FORMAT_PCM_U8;
  return Writable(major | first, sampleRate, channels) ? first : second;
}

int PcmForBits(uint32_t bytes, int major, uint32_t sampleRate, uint16_t channels) {
  switch (bytes) {
    case 1:
      return Pcm8For(major, sampleRate, channels);
    case 2:
      return SF_FORMAT_PCM_16;
    default:
      return SF_FORMAT_PCM_24;
  }
}

std::string FormatName(int format) {
  return SampleFormatName(format & SF_FORMAT_SUBMASK) + " " + ContainerName(format & SF_FORMAT_TYPEMASK);
}

// libsndfile counts the pad byte that follows an odd-sized sound chunk as
// one more frame (in the COMM frame count and the SSND size) when it writes
// 8-bit mono AIFF, so such a file would read back one frame longer than
// written. Puts the true figures into the finished file's header.
bool RepairOddAiffLength(const std::string& path, uint32_t frames) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  const auto readU32 = [fd](off_t at, uint32_t* value) {
    uint8_t b[4];
    if (::pread(fd, b, 4, at) != 4) return false;
    *value = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    return true;
  };
  const auto writeU32 = [fd](off_t at, uint32_t value) {
    const uint8_t b[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return ::pwrite(fd, b, 4, at) == 4;
  };
  bool ok = true;
  struct stat info {};
  ok = ::fstat(fd, &info) == 0;
  for (off_t at = 12; ok && at + 8 <= info.st_size;) {
    char id[4];
    uint32_t size = 0;
    if (::pread(fd, id, 4, at) != 4 || !readU32(at + 4, &size)) {
      ok = false;
      break;
    }
    if (std::memcmp(id, "COMM", 4) == 0) {
      uint32_t count = 0;
      if (readU32(at + 10, &count) && count == frames + 1) ok = writeU32(at + 10, frames);
    } else if (std::memcmp(id, "SSND", 4) == 0) {
      uint32_t offset = 0;
      if (readU32(at + 8, &offset) && size == 8 + offset + frames + 1) ok = writeU32(at + 4, size - 1);
    }
    at += 8 + static_cast<off_t>(size) + (size & 1);
  }
  return ::close(fd) == 0 && ok;
}

std::string Folder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

ToolStatus AudioWriter::ChooseFormat(const std::string& outputPath, int inputFormat, OutputSampleFormat wanted,
                                     uint32_t chainBytes, uint32_t sampleRate, uint16_t channels, int* format) {
  const int inputMajor = inputFormat & SF_FORMAT_TYPEMASK;
  const int inputSub = inputFormat & SF_FORMAT_SUBMASK;
  int major = ContainerForName(outputPath);
  if (major == 0 || (major == SF_FORMAT_WAV && IsWavFamily(inputMajor))) major = inputMajor;

  int sub = 0;
  switch (wanted) {
    case OutputSampleFormat::Pcm8:
      sub = Pcm8For(major, sampleRate, channels);
      break;
    case OutputSampleFormat::Pcm16:
      sub = SF_FORMAT_PCM_16;
      break;
    case OutputSampleFormat::Pcm24:
      sub = SF_FORMAT_PCM_24;
      break;
    case OutputSampleFormat::KeepInput:
      // Signed or unsigned 8-bit is the container's convention, not the
      // recording's: each gets its own.
      if (inputSub == SF_FORMAT_PCM_U8 || inputSub == SF_FORMAT_PCM_S8) {
        sub = Pcm8For(major, sampleRate, channels);
      } else {
        sub = Writable(major | inputSub, sampleRate, channels) ? inputSub
                                                               : PcmForBits(chainBytes, major, sampleRate, channels);
      }
      break;
  }
  if (!Writable(major | sub, sampleRate, channels)) {
    return ToolStatus::Failure(ExitCode::Unsupported, "cannot write " + FormatName(major | sub) + " at " +
                                                          std::to_string(sampleRate) + " Hz for " +
                                                          Quoted(outputPath) +
                                                          "; try another --format or file name ending.");
  }
  *format = major | sub;
  return ToolStatus::Success();
}

ToolStatus AudioWriter::Open(const std::string& path, const Target& target, std::unique_ptr<AudioWriter>* writer) {
  writer->reset();
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) return Unwritable(path, "it is a directory");
    // Replacing by rename would get past a write-protected file; its owner
    // protected it for a reason.
    if (::access(path.c_str(), W_OK) != 0) return Unwritable(path, "it is write-protected");
  }

  const std::string folder = Folder(path);
  std::string temporary = folder + "/." + BaseName(path) + ".veltane-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Unwritable(path, "the folder " + Quoted(folder) + " does not exist");
    return Unwritable(path, std::strerror(errno));
  }
  ::close(fd);

  SF_INFO info{};
  info.format = target.format;
  info.samplerate = static_cast<int>(target.sampleRate);
  info.channels = target.channels;
  SNDFILE* file = sf_open(temporary.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    // The file exists already, so what fails here is mostly the format
    // itself (sf_format_check does not look at every limit, FLAC's sample
    // rates for one).
    const int error = sf_error(nullptr);
    const std::string detail = LibraryMessage(sf_strerror(nullptr));
    ::unlink(temporary.c_str());
    if (error == SF_ERR_SYSTEM) return Unwritable(path, detail);
    return ToolStatus::Failure(ExitCode::Unsupported, "cannot write " + FormatName(target.format) + " at " +
                                                          std::to_string(target.sampleRate) + " Hz for " +
                                                          Quoted(path) + " (" + detail + ").");
  }
  writer->reset(new (std::nothrow) AudioWriter(path, temporary, file, target));
  if (*writer == nullptr) {
    sf_close(file);
    ::unlink(temporary.c_str());
    return ToolStatus::Failure(ExitCode::Internal, "out of memory.");
  }
  return ToolStatus::Success();
}

AudioWriter::AudioWriter(std::string pathIn, std::string temporary, SNDFILE* fileIn, const Target& targetIn)
    : path(std::move(pathIn)),
      temporaryPath(std::move(temporary)),
      file(fileIn),
      target(targetIn),
      codec(targetIn.chainBytes),
      floatLike(IsFloatLike(targetIn.format & SF_FORMAT_SUBMASK)),
      outputBits(NominalBits(targetIn.format & SF_FORMAT_SUBMASK)) {}

AudioWriter::~AudioWriter() {
  if (file != nullptr) sf_close(file);
  if (!temporaryPath.empty()) ::unlink(temporaryPath.c_str());
}

ToolStatus AudioWriter::Write(const uint8_t* pcm, uint32_t frames) {
  if (file == nullptr) return Unwritable(path, "the file is already finished");
  const size_t samples = static_cast<size_t>(frames) * target.channels;
  const uint32_t chainBits = 8 * target.chainBytes;

  sf_count_t written = 0;
  if (!floatLike && chainBits == 16 && outputBits == 16 && PcmCodec::IsNativeShorts(pcm)) {
    // 16-bit PCM into a 16-bit file: written as it is.
    written = sf_writef_short(file, reinterpret_cast<const short*>(pcm), frames);
  } else {
    if (integers.size() < samples) integers.resize(samples);
    codec.Decode(pcm, integers.data(), samples);
    if (floatLike) {
      if (reals.size() < samples) reals.resize(samples);
      for (size_t i = 0; i < samples; ++i) reals[i] = static_cast<double>(integers[i]) * (1.0 / 2147483648.0);
      written = sf_writef_double(file, reals.data(), frames);
    } else {
      // libsndfile truncates to the file's width; rounding first keeps a
      // narrower --format unbiased. Samples no wider than the file have
      // nothing to round.
      if (outputBits < chainBits) {
        for (size_t i = 0; i < samples; ++i) integers[i] = PcmCodec::RoundToBits(integers[i], outputBits);
      }
      written = sf_writef_int(file, integers.data(), frames);
    }
  }
  if (written != static_cast<sf_count_t>(frames)) return Unwritable(path, LibraryMessage(sf_strerror(file)));
  framesWritten += frames;
  return ToolStatus::Success();
}

ToolStatus AudioWriter::Commit() {
  if (file == nullptr) return Unwritable(path, "the file is already finished");
  const int closed = sf_close(file);
  file = nullptr;
  if (closed != 0) return Unwritable(path, LibraryMessage(sf_error_number(closed)));
  const bool oddAiff = (target.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AIFF && outputBits == 8 &&
                       target.channels == 1 && framesWritten % 2 == 1;
  if (oddAiff && !RepairOddAiffLength(temporaryPath, static_cast<uint32_t>(framesWritten))) {
    return Unwritable(path, std::strerror(errno));
  }

  // A file that replaces another keeps its permissions; a new one gets
  // what the umask allows, not mkstemp's owner-only mode.
  mode_t mode = 0;
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0) {
    mode = existing.st_mode & 0777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  // The data must be on disk before the rename makes it OUTPUT, or a crash
  // could leave an empty OUTPUT in place of the old one.
  const int fd = ::open(temporaryPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
    const std::string why = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return Unwritable(path, why);
  }
  ::close(fd);
  if (::rename(temporaryPath.c_str(), path.c_str()) != 0) return Unwritable(path, std::strerror(errno));
  temporaryPath.clear();
  return ToolStatus::Success();
}

}  // namespace veltane
