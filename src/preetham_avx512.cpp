// The sky batch eight directions at a time; this file alone is compiled for
// AVX-512 and is only called on processors that have it.
#include "preetham_lanes.h"

void sky_lanesAvx512(scalar* p_rgb, const t_skyLaneConsts* k, const scalar* wx, const scalar* wy,
                     const scalar* wz, unsigned int n)
{
    lanes::skyRun<8>(p_rgb, *k, wx, wy, wz, n);
}
