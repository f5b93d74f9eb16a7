#include "delivery_check.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "qpm.h"

namespace {

// A finite decimal number making up the whole text.
bool delivery_number(const std::string& text, double* out)
{
    // strtod would skip leading white space: the figure must start the text.
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || std::strpbrk(text.c_str(), "xXpP") != nullptr)
        return false;
    *out = v;
    return true;
}

// A figure as the reports print it, as text and as the number read back.
std::string delivery_figure(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

double delivery_printed(double v)
{
    return std::strtod(delivery_figure(v).c_str(), nullptr);
}

}  // namespace

bool delivery_spec_parse(const char* text, delivery_spec* out)
{
    const std::string t = text;
    if (strcasecmp(text, "r128") == 0) {
        *out = {"r128", -23.0, 0.5, -1.0};
        return true;
    }
    if (strcasecmp(text, "a85") == 0) {
        *out = {"a85", -24.0, 2.0, -2.0};
        return true;
    }
    const size_t a = t.find(':'), b = a == std::string::npos ? a : t.find(':', a + 1);
    if (b == std::string::npos || t.find(':', b + 1) != std::string::npos)
        return false;
    delivery_spec s;
    s.name = t;
    if (!delivery_number(t.substr(0, a), &s.loudness) || !delivery_number(t.substr(a + 1, b - a - 1), &s.tolerance) ||
        !delivery_number(t.substr(b + 1), &s.true_peak) || s.tolerance < 0)
        return false;
    *out = s;
    return true;
}

std::vector<std::string> delivery_check(const delivery_spec& spec, double loudness, double true_peak)
{
    std::vector<std::string> reasons;
    const double l = delivery_printed(loudness);
    const double high = delivery_printed(spec.loudness + spec.tolerance);
    const double low = delivery_printed(spec.loudness - spec.tolerance);
    if (std::isnan(loudness) || l > high)
        reasons.push_back("loudness " + delivery_figure(loudness) + " LUFS above " + delivery_figure(high) + " LUFS");
    else if (l < low)
        reasons.push_back("loudness " + delivery_figure(loudness) + " LUFS below " + delivery_figure(low) + " LUFS");
    const double tp = qpm_ratio_to_db(true_peak);
    if (std::isnan(tp) || delivery_printed(tp) > delivery_printed(spec.true_peak))
        reasons.push_back("true peak " + delivery_figure(tp) + " dBTP above " + delivery_figure(spec.true_peak) +
                          " dBTP");
    return reasons;
}

std::string delivery_verdict(const std::vector<std::string>& reasons)
{
    if (reasons.empty())
        return "pass";
    std::string text = "fail: ";
    for (size_t i = 0; i < reasons.size(); ++i)
        text += (i ? ", " : "") + reasons[i];
    return text;
}
