// libsndfile format codes as the tool sees them.
#include "veltane/SoundFormats.h"

#include <sndfile.h>

#include <string_view>

namespace veltane {
namespace {

// SFC_GET_FORMAT_INFO names a major or sub-type code; null when libsndfile
// does not know it.
const char* LibraryName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0) return nullptr;
  return info.name;
}

}  // namespace

uint32_t NominalBits(int subFormat) {
  switch (subFormat) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_DPCM_8:
      return 8;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_DWVW_24:
    case SF_FORMAT_DWVW_N:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24:
      return 24;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_ALAC_32:
      return 32;
    default:
      return IsFloatLike(subFormat) ? 24 : 16;
  }
}

bool IsFloatLike(int subFormat) {
  switch (subFormat) {
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
      return true;
    default:
      return false;
  }
}

uint32_t ChainBytesFor(int subFormat) {
  const uint32_t bits = NominalBits(subFormat);
  return bits <= 8 ? 1 : bits <= 16 ? 2 : 3;
}

uint32_t StoredBytes(int subFormat) {
  switch (subFormat) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
      return 1;
    case SF_FORMAT_PCM_16:
      return 2;
    case SF_FORMAT_PCM_24:
      return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
      return 4;
    case SF_FORMAT_DOUBLE:
      return 8;
    default:
      return 0;
  }
}

bool PadsBlocks(int subFormat) {
  switch (subFormat) {
    case SF_FORMAT_IMA_ADPCM:
    case SF_FORMAT_MS_ADPCM:
    case SF_FORMAT_GSM610:
    case SF_FORMAT_VOX_ADPCM:
    case SF_FORMAT_G721_32:
    case SF_FORMAT_G723_24:
    case SF_FORMAT_G723_40:
    case SF_FORMAT_NMS_ADPCM_16:
    case SF_FORMAT_NMS_ADPCM_24:
    case SF_FORMAT_NMS_ADPCM_32:
      return true;
    default:
      return false;
  }
}

std::string ContainerName(int majorFormat) {
  switch (majorFormat) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
      return "WAV";
    case SF_FORMAT_AIFF:
      return "AIFF";
    case SF_FORMAT_FLAC:
      return "FLAC";
    default:
      break;
  }
  const char* name = LibraryName(majorFormat);
  return name != nullptr ? name : "audio";
}

std::string SampleFormatName(int subFormat) {
  switch (subFormat) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
      return "8-bit PCM";
    case SF_FORMAT_PCM_16:
      return "16-bit PCM";
    case SF_FORMAT_PCM_24:
      return "24-bit PCM";
    case SF_FORMAT_PCM_32:
      return "32-bit PCM";
    case SF_FORMAT_FLOAT:
      return "32-bit float";
    case SF_FORMAT_DOUBLE:
      return "64-bit float";
    default:
      break;
  }
  const char* name = LibraryName(subFormat);
  return name != nullptr ? name : "encoded";
}

std::string LibraryMessage(const char* text) {
  std::string message = text != nullptr ? text : "";
  // libsndfile puts this before the system's own words (a full disk, ...).
  constexpr std::string_view kSystem = "System error : ";
  if (message.rfind(kSystem, 0) == 0) message.erase(0, kSystem.size());
  while (!message.empty() && (message.back() == '.' || message.back() == ' ' || message.back() == '\n')) {
    message.pop_back();
  }
  return message.empty() ? "unknown error" : message;
}

}  // namespace veltane
