// What the tool needs to know about libsndfile's format codes: how many bits
// a sample format carries, which are decoded as floats, how the chain takes
// them, and their names for messages.
#pragma once

#include <cstdint>
#include <string>

namespace veltane {

// `subFormat` is a libsndfile SF_FORMAT_* sub-type (format & SF_FORMAT_SUBMASK).
// Significant bits of one sample: 8, 16, 24 or 32 for PCM; 16 for the
// companded and ADPCM codecs; 24 for floats and lossy codecs, which carry
// more than 16 bits but have no integer depth of their own.
uint32_t NominalBits(int subFormat);
// Floats and lossy codecs, exchanged with libsndfile as doubles.
bool IsFloatLike(int subFormat);
// Bytes per sample in which the processing object restores a file of this
// sample format: 8- and 16-bit as they are, everything wider at 24 bits.
uint32_t ChainBytesFor(int subFormat);
// Bytes per sample in the file for the formats stored as they are (PCM,
// floats, A-law, mu-law); 0 for codecs.
uint32_t StoredBytes(int subFormat);
// Codecs that encode in blocks and fill the last one (ADPCM, GSM, ...).
bool PadsBlocks(int subFormat);

// "WAV", "FLAC", "AIFF", ... for a major type; "16-bit PCM", "32-bit float", ...
std::string ContainerName(int majorFormat);
std::string SampleFormatName(int subFormat);

// A libsndfile message made to sit inside a sentence: no trailing full stop
// or white space, "unknown error" when there is none.
std::string LibraryMessage(const char* text);

}  // namespace veltane
