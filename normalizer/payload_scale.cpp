#include "payload_scale.h"

#include <cmath>

#include "aes3_element.h"
#include "pcm_codec.h"

size_t payload_frames(const payload_place& place, const audio_track& track, const uint8_t* bytes)
{
    if (place.aes3_element) {
        const int n = aes3_sample_count(bytes, place.size);
        return n > 0 ? static_cast<size_t>(n) : 0;
    }
    return static_cast<size_t>(place.size / pcm_sample_width(track.codec_id) / track.channels);
}

int payload_scale(uint8_t* bytes, const payload_place& place, const audio_track& track, const track_gain& gain,
                  uint64_t first_frame, payload_scratch* scratch)
{
    if (!std::isfinite(gain.gain))
        return 0;
    if (!gain.envelope) {
        if (place.aes3_element)
            return aes3_apply_gain(bytes, place.size, track.channels, track.codec_id, gain.gain, &scratch->samples);
        return pcm_apply_gain(bytes, place.size, track.codec_id, gain.gain, &scratch->samples);
    }
    // Every frame the payload touches gets a gain, a last partial one too.
    const size_t samples = place.aes3_element ? payload_frames(place, track, bytes) * track.channels
                                              : static_cast<size_t>(place.size / pcm_sample_width(track.codec_id));
    const size_t frames = (samples + static_cast<size_t>(track.channels) - 1) / static_cast<size_t>(track.channels);
    scratch->gains.resize(frames);
    limiter_envelope_gains(*gain.envelope, first_frame, frames, scratch->gains.data());
    for (double& g : scratch->gains)
        g *= gain.gain;
    if (place.aes3_element)
        return aes3_apply_gains(bytes, place.size, track.channels, track.codec_id, scratch->gains.data(),
                                &scratch->samples);
    return pcm_apply_gains(bytes, place.size, track.codec_id, track.channels, scratch->gains.data(), &scratch->samples);
}

size_t payload_decode(const uint8_t* bytes, const payload_place& place, const audio_track& track, float* out)
{
    if (place.aes3_element)
        return static_cast<size_t>(aes3_to_float(out, bytes, place.size, track.channels, track.codec_id) /
                                   track.channels);
    const int width = pcm_sample_width(track.codec_id);
    const size_t frames = static_cast<size_t>(place.size / width / track.channels);
    pcm_to_float(out, bytes, static_cast<int>(frames) * track.channels * width, track.codec_id);
    return frames;
}
