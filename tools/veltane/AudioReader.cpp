// Input files through libsndfile.
#include "veltane/AudioReader.h"

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "veltane/SoundFormats.h"

namespace veltane {
namespace {

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

ToolStatus Fail(ExitCode code, std::string text) { return ToolStatus::Failure(code, std::move(text)); }

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

}  // namespace

ToolStatus AudioReader::Open(const std::string& path, std::unique_ptr<AudioReader>* reader) {
  reader->reset();
  if (ToolStatus status = CheckReadable(path); !status.Ok()) return status;

  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
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
  reader->reset(new (std::nothrow) AudioReader(path, owned.release(), info.format,
                                               static_cast<uint32_t>(info.samplerate),
                                               static_cast<uint16_t>(info.channels), info.frames));
  if (*reader == nullptr) {
    sf_close(file);
    return Fail(ExitCode::Internal, "out of memory.");
  }
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

ToolStatus AudioReader::Read(uint8_t* pcm, uint32_t frames, uint32_t* got) {
  *got = 0;
  const size_t samples = static_cast<size_t>(frames) * channels;
  if (integers.size() < samples) integers.resize(samples);
  const uint32_t bits = 8 * codec.BytesPerSample();

  sf_count_t count = 0;
  if (IsFloatLike(subFormat)) {
    if (reals.size() < samples) reals.resize(samples);
    count = sf_readf_double(file, reals.data(), frames);
    for (size_t i = 0; i < static_cast<size_t>(count) * channels; ++i) {
      integers[i] = PcmCodec::FromFloat(reals[i], bits);
    }
  } else {
    // libsndfile scales integers to the full int32 range; 32-bit PCM is
    // the only integer input that needs rounding to the chain's width.
    count = sf_readf_int(file, integers.data(), frames);
    for (size_t i = 0; i < static_cast<size_t>(count) * channels; ++i) {
      integers[i] = PcmCodec::RoundToBits(integers[i], bits);
    }
  }
  if (count < static_cast<sf_count_t>(frames) && sf_error(file) != SF_ERR_NO_ERROR) {
    return Fail(ExitCode::InputCorrupt, Quoted(path) + " is damaged: decoding failed after " +
                                            std::to_string(framesRead + static_cast<uint64_t>(count)) +
                                            " frames (" + LibraryMessage(sf_strerror(file)) + ").");
  }
  codec.Encode(integers.data(), pcm, static_cast<size_t>(count) * channels);
  framesRead += static_cast<uint64_t>(count);
  *got = static_cast<uint32_t>(count);
  return ToolStatus::Success();
}

}  // namespace veltane
