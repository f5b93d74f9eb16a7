// lumescope's input: the audio tracks it can decode, each with its decoder,
// decoded once from start to end into a measurement.
#pragma once

#include <string>
#include <vector>

#include "av_ptr.h"
#include "measurement.h"

// The decoder of one selected track.
struct track_decoder {
    av_codec_ptr codec;
    AVSampleFormat format = AV_SAMPLE_FMT_NONE;
    bool mismatch_reported = false;
};

struct scope_input {
    const char* path = nullptr;  // as given, for the messages
    std::string url;             // what FFmpeg opens
    av_format_ptr input;
    std::vector<track_decoder> decoders;  // per track ordinal
};

// Opens and probes the input. Returns 0, or 1 with the diagnostic printed.
int scope_input_open(scope_input* in, const char* path, const std::string& url);

// Selects every audio stream whose decoder delivers 16-bit, 32-bit or float
// samples as a track of m (which must be prepared for the input's streams),
// printing a found-track line for each decodable one and why any is skipped.
void scope_input_select(scope_input* in, measurement* m);

// Decodes every packet of the selected tracks into m, and what the decoders
// still hold at the end. Only the selected streams are read. Returns 0, or 1
// with the diagnostic printed when the input fails before its end.
int scope_input_decode(scope_input* in, measurement* m);

// Meters programme p of m from new openings of the input, one per track,
// decoded side by side. Returns false when the input cannot be opened again
// (a stream that is gone, say).
bool scope_input_read_back(const scope_input& in, measurement* m, size_t p);
