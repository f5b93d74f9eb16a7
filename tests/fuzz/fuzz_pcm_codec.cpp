// Fuzzes the PCM codec: any payload of any codec decodes, round-trips byte for
// byte, and survives any gain without undefined behaviour.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "pcm_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9)
        return 0;
    static const int codecs[] = {AV_CODEC_ID_PCM_S16LE, AV_CODEC_ID_PCM_S16BE, AV_CODEC_ID_PCM_S24LE,
                                 AV_CODEC_ID_PCM_S24BE, AV_CODEC_ID_PCM_F32LE};
    const int codec = codecs[data[0] % 5];
    double gain;
    std::memcpy(&gain, data + 1, sizeof gain);
    std::vector<uint8_t> payload(data + 9, data + size);
    const int n_bytes = static_cast<int>(payload.size());
    std::vector<float> samples(payload.size() / 2 + 1);
    const int n = pcm_to_float(samples.data(), payload.data(), n_bytes, codec);
    if (n != n_bytes / pcm_sample_width(codec))
        abort();
    std::vector<uint8_t> copy = payload;
    if (float_to_pcm(samples.data(), copy.data(), n_bytes, codec) != 0 || copy != payload)
        abort();
    if (std::isfinite(gain)) {
        for (int i = 0; i < n; ++i)
            samples[static_cast<size_t>(i)] =
                static_cast<float>(static_cast<double>(samples[static_cast<size_t>(i)]) * gain);
        const int clipped = float_to_pcm(samples.data(), copy.data(), n_bytes, codec);
        if (clipped < 0 || clipped > n)
            abort();
    }
    return 0;
}
