// Private parts of the renderer module, shared with its tests.
#ifndef TESK_INTERNAL_H
#define TESK_INTERNAL_H

#include "tesk.h"

// The per-pixel renderer in its plain form: each pixel on its own through
// intersect and sky_intersect. render gives the same pictures.
int renderReference(t_pixel* p_pbuff, t_ray* p_rbuff, t_scene* p_scene, t_matrix* matView,
                    unsigned int WIDTH, unsigned int HEIGHT);

#endif
