// Module tesk: camera rays, shading and the renderers. (Stand-in; being built.)
#include "tesk.h"

int allocAndInitSimpleRayBuffer(t_ray**, unsigned int, unsigned int, scalar) { return 0; }
int intersect(scalar*, t_scene*, t_ray*) { return 0; }
int applyLighting(scalar*, t_scene*, scalar*, scalar*) { return 0; }
int doesIntersect(t_scene*, t_ray*) { return 0; }
scalar findMaxHeight(t_scene*, scalar, scalar) { return 0.0f; }
int render(t_pixel*, t_ray*, t_scene*, t_matrix*, unsigned int, unsigned int) { return 0; }
int render_mlrta(t_pixel*, t_ray*, t_scene*, t_matrix*, unsigned int, unsigned int) { return 0; }
