// The "Transferring" animation: six labels on top of one another, one to six
// trailing dots, one of them shown per AutoDisp tick. The step logic is kept
// apart from the labels so that the cycle can be checked without a window.
#pragma once

#include <cstdint>

namespace dialscope {

constexpr int kAnimationFrames = 6;

// Which LblTransferring<n> to show and which to hide on one tick.
struct AnimationFrame {
    int show;
    int hide;
};

// Increments animStep and returns the labels to show and hide for its new
// value; after the six-dot frame animStep goes back to 0. animStep is never
// reset elsewhere, so a hidden animation that is started again continues the
// cycle where it stopped.
AnimationFrame AnimationStep(int32_t& animStep);

}  // namespace dialscope
