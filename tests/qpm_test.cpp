#include <cmath>

#include <gtest/gtest.h>

#include "qpm.h"

TEST(QuasiPeakMeter, ConstantsAreTheSinglePrecisionValues)
{
    EXPECT_EQ(QPM_RELEASE_SECONDS, 1.149999976158142);
    EXPECT_EQ(QPM_DB_FACTOR, 8.685889244079590);
}

TEST(QuasiPeakMeter, CreateAcceptsOnlyTheFourTypes)
{
    qpm_meter* m = nullptr;
    EXPECT_EQ(qpm_create(&m, 7), -1);
    EXPECT_EQ(m, nullptr);
    for (int type : {0, 5, 10, 200}) {
        ASSERT_EQ(qpm_create(&m, type), 0);
        double cur = 1, max = 1;
        qpm_get_cur(m, &cur);
        qpm_get_max(m, &max);
        EXPECT_EQ(cur, 0.0);
        EXPECT_EQ(max, 0.0);
        EXPECT_EQ(qpm_destroy(&m), 0);
        EXPECT_EQ(m, nullptr);
    }
    EXPECT_EQ(qpm_destroy(&m), -1);
    EXPECT_EQ(qpm_destroy(nullptr), -1);
    EXPECT_EQ(qpm_process(nullptr, 1.0, 1.0), -1);
}

TEST(QuasiPeakMeter, TypeZeroFollowsTheRectifiedSample)
{
    qpm_meter* m = nullptr;
    qpm_create(&m, 0);
    qpm_process(m, -0.5, 1.0 / 48000);
    qpm_process(m, 0.25, 1.0 / 48000);
    EXPECT_EQ(m->cur, 0.25);
    EXPECT_EQ(m->max, 0.5);
    qpm_destroy(&m);
}

TEST(QuasiPeakMeter, IntegratingMeterRisesOneStepFromRest)
{
    const double dt = 1.0 / 48000;
    qpm_meter* m = nullptr;
    qpm_create(&m, 5);
    qpm_process(m, 1.0, dt);
    EXPECT_EQ(m->cur, (923.0 / QPM_RELEASE_SECONDS) * 1.0 * dt);
    EXPECT_EQ(m->max, m->cur);
    // A fall step: cur + (-dt / R) * cur, max held.
    const double before = m->cur;
    qpm_process(m, 0.0, dt);
    EXPECT_EQ(m->cur, before + ((-dt) / QPM_RELEASE_SECONDS) * before);
    EXPECT_EQ(m->max, before);
    qpm_destroy(&m);
}

TEST(QuasiPeakMeter, IntegratingMetersSettleAtTheirRatio)
{
    for (int type : {5, 10, 200}) {
        const double k = type == 5 ? 923 : type == 10 ? 466 : 49;
        qpm_meter* m = nullptr;
        qpm_create(&m, type);
        for (int i = 0; i < 48000 * 2; ++i)
            qpm_process(m, 0.5, 1.0 / 48000);
        EXPECT_NEAR(m->cur, 0.5 * k / (1 + k), 1e-3) << type;
        qpm_destroy(&m);
    }
}

TEST(QuasiPeakMeter, SilenceIsMinusInfinityAndNaNNeverRaisesTheMaximum)
{
    qpm_meter* m = nullptr;
    qpm_create(&m, 10);
    double db = 0;
    qpm_process(m, 0.0, 1.0 / 48000);
    qpm_get_max_db(m, &db, 1.0);
    EXPECT_TRUE(std::isinf(db) && db < 0);
    qpm_process(m, 0.5, 1.0 / 48000);
    const double max = m->max;
    qpm_process(m, std::nan(""), 1.0 / 48000);
    EXPECT_EQ(m->max, max);
    EXPECT_LT(m->cur, max);  // taken as a fall step
    qpm_destroy(&m);
}

TEST(QuasiPeakMeter, UnknownTypeAtProcessingChangesNothing)
{
    qpm_meter m{7, 0.125, 0.25};
    EXPECT_EQ(qpm_process(&m, 1.0, 1.0), -22);
    EXPECT_EQ(m.cur, 0.125);
    EXPECT_EQ(m.max, 0.25);
}

TEST(QuasiPeakMeter, DecibelsUseSinglePrecisionLogarithm)
{
    qpm_meter m{0, 0.5, 0.5};
    double db = 0;
    qpm_get_max_db(&m, &db, 1.0);
    EXPECT_EQ(db, static_cast<double>(logf(0.5f)) * 8.685889244079590);
    qpm_get_cur_db(&m, &db, 0.5);
    EXPECT_EQ(db, 0.0);
    EXPECT_EQ(qpm_ratio_to_db(1.0), 0.0);
}
