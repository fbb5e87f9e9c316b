// Private parts of the sky model, shared with its tests.
#ifndef PREETHAM_INTERNAL_H
#define PREETHAM_INTERNAL_H

#include "tesk.h"

scalar perez(const scalar* lam, scalar theta, scalar gamma, scalar lvz, scalar thetaS);
scalar getAngleBetween(scalar thetav, scalar phiv, scalar theta, scalar phi);
scalar angle2d(scalar x, scalar z);
void Yxy_RGB(scalar* p_color, scalar Y, scalar x, scalar y);

// The ways sky_intersectN can run, named by their lane count.
enum t_skyPath { SKY_PATH_LANES1 = 1, SKY_PATH_SSE2 = 2, SKY_PATH_AVX2 = 4, SKY_PATH_AVX512 = 8 };
// Whether this processor runs the path.
bool sky_pathRuns(t_skyPath path);
// The widest path this processor runs; sky_intersectN takes it.
t_skyPath sky_bestPath();
// sky_intersectN through the given path, which the processor must run.
void sky_intersectN_path(t_skyPath path, scalar* p_rgb, const skySystem* p_skySystem,
                         const scalar* wx, const scalar* wy, const scalar* wz, unsigned int n);

#endif
