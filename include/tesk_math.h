// Inline vector math shared by the renderers and the tree.
#ifndef TESK_MATH_H
#define TESK_MATH_H

#include "tesk.h"

// Point (w = 1): row vector times matrix plus the translation row.
// pOut and vec must not overlap.
static inline void transform(scalar* pOut, const matrix* mat, const scalar* vec)
{
    pOut[0] = vec[0] * mat->_11 + vec[1] * mat->_21 + vec[2] * mat->_31 + mat->_41;
    pOut[1] = vec[0] * mat->_12 + vec[1] * mat->_22 + vec[2] * mat->_32 + mat->_42;
    pOut[2] = vec[0] * mat->_13 + vec[1] * mat->_23 + vec[2] * mat->_33 + mat->_43;
}

// Direction (w = 0): as transform, without the translation row.
static inline void transformW(scalar* pOut, const matrix* mat, const scalar* vec)
{
    for (int c = 0; c < 3; ++c)
        pOut[c] = vec[0] * mat->m[0][c] + vec[1] * mat->m[1][c] + vec[2] * mat->m[2][c];
}

// TESK_MATH_RAY_QUERIES: intersectRayAABB and ray_triangle_intersection go here.

#endif
