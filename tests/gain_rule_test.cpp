// The gain of a track or programme: target minus loudness in dB, as a factor,
// lowered just enough to keep the gained true peak at a ceiling. Expected
// values are worked out here from the definitions.
#include <cmath>

#include <gtest/gtest.h>

#include "inplace_norm.h"

TEST(GainRule, TheFactorTakesTheLoudnessToTheTarget)
{
    // -20 LUFS to -23: -3 dB, 10^(-3/20) = 0.7079457843841379.
    const gain_choice g = inplace_norm_choose_gain(-20.0, 0.5, -23.0, NAN);
    EXPECT_EQ(g.loudness, -20.0);
    EXPECT_EQ(g.amplify_db, -3.0);
    EXPECT_NEAR(g.factor, 0.7079457843841379, 1e-15);
    EXPECT_EQ(g.applied, g.factor);
    EXPECT_EQ(g.lowered_db, 0.0);
    // A target equal to the loudness gives exactly 1.
    EXPECT_EQ(inplace_norm_choose_gain(-16.25, 0.9, -16.25, NAN).factor, 1.0);
}

TEST(GainRule, TheCeilingLowersTheFactorOnlyWhereTheGainedPeakWouldPassIt)
{
    // -30 LUFS to -16: +14 dB, factor 5.011872336272722. A true peak of 0.1
    // becomes 0.501: below a ceiling of -1 dBTP (0.8912509381337456).
    gain_choice g = inplace_norm_choose_gain(-30.0, 0.1, -16.0, -1.0);
    EXPECT_NEAR(g.factor, 5.011872336272722, 1e-12);
    EXPECT_EQ(g.applied, g.factor);
    EXPECT_EQ(g.lowered_db, 0.0);
    // A true peak of 0.5 would become 2.506: the factor is 0.8912509 / 0.5,
    // 1.7825018762674913, lower by 20 log10(5.0118723 / 1.7825019) =
    // 8.979400086720377 dB.
    g = inplace_norm_choose_gain(-30.0, 0.5, -16.0, -1.0);
    EXPECT_NEAR(g.applied, 1.7825018762674913, 1e-12);
    EXPECT_NEAR(g.lowered_db, 8.979400086720377, 1e-9);
    EXPECT_NEAR(g.applied * 0.5, 0.8912509381337456, 1e-15);
    // A gain below 1 lowers the peak as well: nothing to do at a ceiling of 0.
    g = inplace_norm_choose_gain(-10.0, 0.99, -23.0, 0.0);
    EXPECT_EQ(g.applied, g.factor);
    EXPECT_LT(g.applied, 1.0);
}

TEST(GainRule, NoGatedLoudnessGivesNoFiniteFactorAndNoCeilingLine)
{
    // Digital silence: -inf LUFS, an infinite gain, and the payloads left alone.
    gain_choice g = inplace_norm_choose_gain(-INFINITY, 0.0, -23.0, -1.0);
    EXPECT_EQ(g.amplify_db, INFINITY);
    EXPECT_EQ(g.factor, INFINITY);
    EXPECT_FALSE(std::isfinite(g.applied));
    EXPECT_EQ(g.lowered_db, 0.0);
    // Below the gate but with a peak: still no finite factor, no lowering.
    g = inplace_norm_choose_gain(-INFINITY, 0.001, -23.0, -1.0);
    EXPECT_FALSE(std::isfinite(g.applied));
    EXPECT_EQ(g.lowered_db, 0.0);
}
