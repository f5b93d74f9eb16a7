// How the destination holds a track's payloads: their samples scaled by the
// track's static gain and, under the limiter, by its envelope frame by frame
// as well, with the codec's arithmetic, truncation and saturation.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "limiter.h"
#include "measurement.h"
#include "packet_table.h"

struct track_gain {
    double gain = NAN;                           // linear; not finite: the payloads stay as they are
    const limiter_envelope* envelope = nullptr;  // the limiter's gain on top, or none
};

struct payload_scratch {
    std::vector<float> samples;
    std::vector<double> gains;
};

// Whole frames of the track in the payload.
size_t payload_frames(const payload_place& place, const audio_track& track, const uint8_t* bytes);

// Scales the payload's bytes in place: the track's frames from first_frame
// on. Returns the number of samples that had to be saturated; a gain that is
// not finite leaves the bytes as they are.
int payload_scale(uint8_t* bytes, const payload_place& place, const audio_track& track, const track_gain& gain,
                  uint64_t first_frame, payload_scratch* scratch);

// Decodes the payload's whole frames into out, interleaved: out holds
// payload_frames of them. Returns the number of frames.
size_t payload_decode(const uint8_t* bytes, const payload_place& place, const audio_track& track, float* out);
