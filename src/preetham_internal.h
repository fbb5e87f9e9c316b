// Private parts of the sky model, shared with its tests.
#ifndef PREETHAM_INTERNAL_H
#define PREETHAM_INTERNAL_H

#include "tesk.h"

scalar perez(const scalar* lam, scalar theta, scalar gamma, scalar lvz, scalar thetaS);
scalar getAngleBetween(scalar thetav, scalar phiv, scalar theta, scalar phi);
scalar angle2d(scalar x, scalar z);
void Yxy_RGB(scalar* p_color, scalar Y, scalar x, scalar y);

#endif
