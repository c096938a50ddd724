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
#include "veltane/StopSignals.h"

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

// Room for the header around the audio (format chunk and the like; the
// metadata's own size comes on top) when judging whether a file with 32-bit
// sizes holds it.
constexpr uint64_t kHeaderAllowance = uint64_t{1} << 20;

bool Has32BitSizes(int major) {
  return major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_AIFF || major == SF_FORMAT_AU;
}

// Bytes per sample in the file; codecs count as two, more than they take.
uint64_t FileBytes(int sub) { return StoredBytes(sub) != 0 ? StoredBytes(sub) : 2; }

std::string FormatName(int format) {
  return SampleFormatName(format & SF_FORMAT_SUBMASK) + " " + ContainerName(format & SF_FORMAT_TYPEMASK);
}

// libsndfile counts the pad byte that follows an odd-sized sound chunk as
// one more frame (in the COMM frame count and the SSND size) when it writes
// 8-bit mono AIFF, so such a file would read back one frame longer than
// written. Puts the true figures into the finished file's header.
bool RepairOddAiffLength(int fd, uint32_t frames) {
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
  return ok;
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

// Removes the temporary file and forgets it, so that a stop signal does not
// remove it a second time (by then perhaps another program's file).
void RemoveTemporary(const std::string& temporary, int fd) {
  StopSignals::Hold hold;
  ::unlink(temporary.c_str());
  StopSignals::SetTemporaryFile("");
  if (fd >= 0) ::close(fd);
}

}  // namespace

ToolStatus AudioWriter::ChooseFormat(const std::string& outputPath, int inputFormat, OutputSampleFormat wanted,
                                     Target* target) {
  const uint32_t sampleRate = target->sampleRate;
  const uint16_t channels = target->channels;
  const uint32_t chainBytes = target->chainBytes;
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
        // A block codec pads its last block, so the file would read back
        // longer than the recording (and lose more with each encoding).
        const bool keep = !PadsBlocks(inputSub) && Writable(major | inputSub, sampleRate, channels);
        sub = keep ? inputSub : PcmForBits(chainBytes, major, sampleRate, channels);
      }
      break;
  }

  // Past 4 GiB the 32-bit sizes of WAV, AIFF and AU wrap and the file reads
  // back as a fraction of the recording.
  const uint64_t header = kHeaderAllowance + (target->metadata != nullptr ? target->metadata->Bytes() : 0);
  const bool mayPass = target->frames < 0 || header >= UINT32_MAX ||
                       static_cast<uint64_t>(target->frames) * channels * FileBytes(sub) > UINT32_MAX - header;
  if (mayPass && (major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX)) major = SF_FORMAT_RF64;
  if (mayPass && target->frames >= 0 && Has32BitSizes(major)) {
    return ToolStatus::Failure(ExitCode::Unsupported, Quoted(outputPath) + " cannot hold this recording: " +
                                                          std::to_string(target->frames) + " frames of " +
                                                          FormatName(major | sub) +
                                                          " pass the 4 GiB such a file can hold; give OUTPUT a "
                                                          ".wav name (written as RF64) or a .flac one.");
  }
  if (!Writable(major | sub, sampleRate, channels)) {
    return ToolStatus::Failure(ExitCode::Unsupported, "cannot write " + FormatName(major | sub) + " at " +
                                                          std::to_string(sampleRate) + " Hz for " +
                                                          Quoted(outputPath) +
                                                          "; try another --format or file name ending.");
  }
  target->format = major | sub;
  return ToolStatus::Success();
}

ToolStatus AudioWriter::Open(const std::string& path, const Target& target, std::unique_ptr<AudioWriter>* writer) {
  writer->reset();
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) return Unwritable(path, "it is a directory");
    // The rename would put a file in place of a device or a pipe, and a
    // stream could not be finished properly anyway (its header is written
    // last): veltane writes regular files only.
    if (!S_ISREG(existing.st_mode)) return Unwritable(path, "it is not a regular file (a device or a pipe)");
    // Replacing by rename would get past a write-protected file; its owner
    // protected it for a reason.
    if (::access(path.c_str(), W_OK) != 0) return Unwritable(path, "it is write-protected");
  }

  const std::string folder = Folder(path);
  std::string temporary = folder + "/." + BaseName(path) + ".veltane-XXXXXX";
  int fd = -1;
  {
    // A stop signal must find the file registered, or not yet made.
    StopSignals::Hold hold;
    fd = ::mkstemp(temporary.data());
    if (fd >= 0) StopSignals::SetTemporaryFile(temporary);
  }
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Unwritable(path, "the folder " + Quoted(folder) + " does not exist");
    return Unwritable(path, std::strerror(errno));
  }
  // The writer owns the file from here: its destructor removes it.
  writer->reset(new (std::nothrow) AudioWriter(path, temporary, fd, target));
  if (*writer == nullptr) {
    RemoveTemporary(temporary, fd);
    return ToolStatus::Failure(ExitCode::Internal, "out of memory.");
  }

  SF_INFO info{};
  info.format = target.format;
  info.samplerate = static_cast<int>(target.sampleRate);
  info.channels = target.channels;
  // The descriptor mkstemp gave: the name might meanwhile lead elsewhere.
  SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
  // A stream of unknown length gets RF64 in case it passes 4 GiB; should it
  // end smaller, libsndfile makes it a plain WAV again.
  if (file != nullptr && (target.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RF64 && target.frames < 0) {
    sf_command(file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
  }
  if (file != nullptr && target.metadata != nullptr) target.metadata->Write(file, target.format);
  if (file == nullptr) {
    // The file exists already, so what fails here is mostly the format
    // itself (sf_format_check does not look at every limit, FLAC's sample
    // rates for one).
    const int error = sf_error(nullptr);
    const std::string detail = LibraryMessage(sf_strerror(nullptr));
    writer->reset();
    if (error == SF_ERR_SYSTEM) return Unwritable(path, detail);
    return ToolStatus::Failure(ExitCode::Unsupported, "cannot write " + FormatName(target.format) + " at " +
                                                          std::to_string(target.sampleRate) + " Hz for " +
                                                          Quoted(path) + " (" + detail + ").");
  }
  (*writer)->file = file;
  return ToolStatus::Success();
}

AudioWriter::AudioWriter(std::string pathIn, std::string temporary, int descriptor, const Target& targetIn)
    : path(std::move(pathIn)),
      temporaryPath(std::move(temporary)),
      fd(descriptor),
      file(nullptr),
      target(targetIn),
      codec(targetIn.chainBytes),
      floatLike(IsFloatLike(targetIn.format & SF_FORMAT_SUBMASK)),
      outputBits(NominalBits(targetIn.format & SF_FORMAT_SUBMASK)) {}

AudioWriter::~AudioWriter() {
  if (file != nullptr) sf_close(file);
  if (!temporaryPath.empty()) RemoveTemporary(temporaryPath, fd);
}

ToolStatus AudioWriter::Write(const uint8_t* pcm, uint32_t frames) {
  if (file == nullptr) return Unwritable(path, "the file is already finished");
  if (ToolStatus status = CheckRoom(frames); !status.Ok()) return status;
  const size_t samples = static_cast<size_t>(frames) * target.channels;
  const uint32_t chainBits = 8 * target.chainBytes;

  sf_count_t written = 0;
  if (target.samples == Target::Samples::Double) {
    if (reals.size() < samples) reals.resize(samples);
    std::memcpy(reals.data(), pcm, samples * sizeof(double));
    written = sf_writef_double(file, reals.data(), frames);
  } else if (target.samples == Target::Samples::Int32) {
    if (integers.size() < samples) integers.resize(samples);
    std::memcpy(integers.data(), pcm, samples * sizeof(int32_t));
    written = sf_writef_int(file, integers.data(), frames);
  } else if (!floatLike && chainBits == 16 && outputBits == 16 && PcmCodec::IsNativeShorts(pcm)) {
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

ToolStatus AudioWriter::CheckRoom(uint32_t frames) const {
  const int major = target.format & SF_FORMAT_TYPEMASK;
  if (!Has32BitSizes(major)) return ToolStatus::Success();
  // What is on disk already (libsndfile writes straight through), what comes
  // now, and a little for what follows the audio.
  const off_t at = ::lseek(fd, 0, SEEK_CUR);
  const uint64_t coming = uint64_t{frames} * target.channels * FileBytes(target.format & SF_FORMAT_SUBMASK);
  if (at >= 0 && static_cast<uint64_t>(at) + coming + (uint64_t{1} << 16) <= UINT32_MAX) return ToolStatus::Success();
  return ToolStatus::Failure(ExitCode::Unsupported, Quoted(path) + " cannot hold this recording: it passes the 4 GiB " +
                                                        "a " + ContainerName(major) + " file can hold; give OUTPUT a "
                                                        ".wav name (written as RF64) or a .flac one.");
}

ToolStatus AudioWriter::Commit() {
  if (file == nullptr) return Unwritable(path, "the file is already finished");
  const int closed = sf_close(file);
  file = nullptr;
  if (closed != 0) return Unwritable(path, LibraryMessage(sf_error_number(closed)));
  const bool oddAiff = (target.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AIFF && outputBits == 8 &&
                       target.channels == 1 && framesWritten % 2 == 1;
  if (oddAiff && !RepairOddAiffLength(fd, static_cast<uint32_t>(framesWritten))) {
    return Unwritable(path, std::strerror(errno));
  }
  // The last word on whether the container held the recording: the file as
  // a reader will see it.
  SF_INFO info{};
  SNDFILE* check = ::lseek(fd, 0, SEEK_SET) == 0 ? sf_open_fd(fd, SFM_READ, &info, SF_FALSE) : nullptr;
  if (check != nullptr) {
    if (target.metadata != nullptr) lost = target.metadata->Missing(Metadata::Read(check, info.format, true, ""));
    sf_close(check);
  }
  if (check == nullptr || info.frames != static_cast<sf_count_t>(framesWritten)) {
    return ToolStatus::Failure(ExitCode::Unsupported, "cannot write " + Quoted(path) + ": as " +
                                                          FormatName(target.format) + " it reads back with " +
                                                          std::to_string(check != nullptr ? info.frames : 0) +
                                                          " of its " + std::to_string(framesWritten) + " frames.");
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
  if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) return Unwritable(path, std::strerror(errno));
  {
    // The rename is the point of no return: a stop signal that came before
    // it leaves OUTPUT as it was; one that comes during it acts afterwards.
    StopSignals::Hold hold;
    if (StopSignals::Hold::StopPending()) return ToolStatus::Interruption();
    if (::rename(temporaryPath.c_str(), path.c_str()) != 0) return Unwritable(path, std::strerror(errno));
    temporaryPath.clear();
    StopSignals::SetTemporaryFile("", true);
  }
  ::close(fd);
  fd = -1;
  // The rename itself reaches the disk with the folder. Best effort: some
  // file systems cannot sync a folder, and OUTPUT is in place by now.
  const int folder = ::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    static_cast<void>(::fsync(folder));
    ::close(folder);
  }
  return ToolStatus::Success();
}

}  // namespace veltane
