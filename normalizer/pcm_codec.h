// Conversion between the raw bytes of an interleaved PCM payload and
// single-precision samples, in place and without changing the payload length.
#pragma once

#include <cstdint>
#include <vector>

// Bytes per sample of a PCM codec identifier: 3 for the 24-bit codecs, 2 otherwise.
int pcm_sample_width(int codec_id);

// Decodes size / width samples of the payload into out (at least that many
// floats), scaled so that full-scale negative is exactly -1.0. Trailing bytes
// that do not fill a sample are ignored. A codec other than signed 16/24-bit
// little/big-endian decodes as silence. Returns the number of samples.
int pcm_to_float(float* out, const uint8_t* data, int size, int codec_id);

// Encodes size / width samples back into the payload, truncating the low bits.
// A sample at or beyond full scale saturates to the largest or smallest value
// of the sample width. Other codecs leave the payload untouched.
// Returns the number of samples that had to be saturated.
int float_to_pcm(const float* in, uint8_t* data, int size, int codec_id);

// Multiplies every sample of the payload by gain in place: each sample becomes
// the single-precision rounding of the double product, then is encoded like
// float_to_pcm. scratch is grown as needed and reused across calls. Returns
// the number of samples that had to be saturated.
int pcm_apply_gain(uint8_t* data, int size, int codec_id, double gain, std::vector<float>* scratch);

// The same with a gain of its own for every frame: each sample of frame f (of
// `channels` interleaved samples; a last frame may be partial) is multiplied
// by frame_gains[f], which holds a gain for every frame the payload touches.
int pcm_apply_gains(uint8_t* data, int size, int codec_id, int channels, const double* frame_gains,
                    std::vector<float>* scratch);
