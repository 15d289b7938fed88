#include "app/animation.h"

#include <gtest/gtest.h>

namespace dialscope {
namespace {

TEST(AnimationStep, SixFrameCycleFromAFreshStart) {
    int32_t animStep = 0;
    const AnimationFrame expected[] = {{0, 5}, {1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}};
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < kAnimationFrames; ++i) {
            const AnimationFrame f = AnimationStep(animStep);
            EXPECT_EQ(f.show, expected[i].show) << "round " << round << " frame " << i;
            EXPECT_EQ(f.hide, expected[i].hide) << "round " << round << " frame " << i;
            EXPECT_EQ(animStep, (i + 1) % kAnimationFrames);
        }
    }
}

TEST(AnimationStep, CounterOutsideTheCycleShowsSixDotsAndStartsOver) {
    int32_t animStep = 41;
    AnimationFrame f = AnimationStep(animStep);
    EXPECT_EQ(f.show, 5);
    EXPECT_EQ(f.hide, 4);
    EXPECT_EQ(animStep, 0);

    animStep = -7;
    f = AnimationStep(animStep);
    EXPECT_EQ(f.show, 5);
    EXPECT_EQ(animStep, 0);
    EXPECT_EQ(AnimationStep(animStep).show, 0);
}

}  // namespace
}  // namespace dialscope
