// The sky batch four directions at a time; this file alone is compiled for
// AVX2 (without FMA) and is only called on processors that have it.
#include "preetham_lanes.h"

void sky_lanesAvx2(scalar* p_rgb, const t_skyLaneConsts* k, const scalar* wx, const scalar* wy,
                   const scalar* wz, unsigned int n)
{
    lanes::skyRun<4>(p_rgb, *k, wx, wy, wz, n);
}
