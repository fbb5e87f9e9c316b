// Module preetham: the daylight sky. (Stand-in; being built.)
#include "preetham_internal.h"

void sky_init(skySystem*) {}
void sky_intersect(scalar* p_color, const skySystem*, const t_ray*)
{
    p_color[0] = p_color[1] = p_color[2] = 0.0f;
}
scalar perez(const scalar*, scalar, scalar, scalar, scalar) { return 0.0f; }
scalar getAngleBetween(scalar, scalar, scalar, scalar) { return 0.0f; }
scalar angle2d(scalar, scalar) { return 0.0f; }
void Yxy_RGB(scalar*, scalar, scalar, scalar) {}
