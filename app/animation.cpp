#include "app/animation.h"

namespace dialscope {

AnimationFrame AnimationStep(int32_t& animStep) {
    ++animStep;
    switch (animStep) {
    case 1: return {0, 5};
    case 2: return {1, 0};
    case 3: return {2, 1};
    case 4: return {3, 2};
    case 5: return {4, 3};
    default:
        // Six dots; also where a counter knocked out of 1..5 lands, so the
        // cycle starts over cleanly.
        animStep = 0;
        return {5, 4};
    }
}

}  // namespace dialscope
