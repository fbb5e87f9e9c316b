// Camera and light animation (module main). (Stand-in; being built.)
#include "tesk_app.h"

void translation(t_matrix*, scalar, scalar, scalar) {}
void rotationX(t_matrix*, scalar) {}
void rotationY(t_matrix*, scalar) {}
void multiply(t_matrix*, const t_matrix*, const t_matrix*) {}
void interactiveCameraPath(t_matrix*, scalar, t_scene*) {}
void benchmarkCameraPath(t_matrix*, scalar) {}
void initLights(t_scene*) {}
void updateLights(t_scene*, scalar) {}
