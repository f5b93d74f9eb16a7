// The 8-channel AES3 sound element of D-10 (IMX) files, as FFmpeg's MXF
// demuxer reads it: the KLV value starts with a 4-byte header (5-sequence
// count; sample count, little-endian; one "channel valid" flag per bit), then
// every sample takes 8 little-endian 32-bit AES3 subframes, whatever the
// track's channel count. A subframe carries the channel number in bits 0-2,
// the 24-bit audio sample in bits 4-27 (16-bit audio in bits 12-27) and V, U,
// C and the parity bit P in bits 28-31. The demuxer hands out the first
// `channels` subframes of every sample as 16- or 24-bit little-endian PCM.
#pragma once

#include <cstdint>
#include <vector>

inline constexpr int aes3_header_bytes = 4;
inline constexpr int aes3_sample_bytes = 8 * 4;  // eight subframes, always
// FFmpeg refuses longer values: 1,920 samples (25 frames per second) of 8 subframes.
inline constexpr int aes3_value_max_bytes = aes3_header_bytes + 1920 * aes3_sample_bytes;

// True when a KLV key (16 bytes) is that of an AES3 element: bytes 12-14 are 06 01 10.
bool aes3_is_element_key(const uint8_t* key);

// Number of samples of a well-formed element value of `size` bytes: whole
// samples only, as many as the header says, within FFmpeg's limit. -1 otherwise.
int aes3_sample_count(const uint8_t* value, int64_t size);

// True when the element value converts exactly to the `pcm_size` bytes of
// `pcm` for a track of `channels` (1 to 8) channels of the codec (PCM signed
// 16- or 24-bit little-endian; any other codec never matches).
bool aes3_matches_pcm(const uint8_t* value, int64_t size, int channels, int codec_id, const uint8_t* pcm, int pcm_size);

// Decodes the samples of the track's channels of a well-formed element value
// into out (at least size / 4 floats), interleaved, exactly as the plain PCM
// codec decodes the PCM the demuxer makes of them. Returns the number of
// samples, 0 for an ill-formed value.
int aes3_to_float(float* out, const uint8_t* value, int size, int channels, int codec_id);

// Multiplies every sample of the track's channels in a well-formed element
// value by gain, in place, with exactly the arithmetic, truncation and
// saturation of the plain PCM codec; only the sample bits change, and the
// parity bits when the element's parity was valid throughout (they are then
// kept valid). `samples` is scratch space. Returns the number of saturated
// samples; an ill-formed value is left alone.
int aes3_apply_gain(uint8_t* value, int size, int channels, int codec_id, double gain, std::vector<float>* samples);

// The same with a gain of its own for every sample instant: frame_gains holds
// one for each of the element's samples.
int aes3_apply_gains(uint8_t* value, int size, int channels, int codec_id, const double* frame_gains,
                     std::vector<float>* samples);
