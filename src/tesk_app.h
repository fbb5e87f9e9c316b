// Module main (the application shell): program entry, presentation,
// screenshots, animation, heightmap loading and the benchmark mode.
// Internal to the project: programs, tools and tests include it.
#ifndef TESK_APP_H
#define TESK_APP_H

#include <SDL/SDL.h>

#include "tesk.h"
#include "tesk_qkd.h"

// Build-time settings of one program.
struct t_runConfig {
    unsigned int width, height;  // interactive render size
    scalar runLimit;             // interactive run, processor seconds
    scalar benchmarkLimit;       // benchmark run, processor seconds
};

int tesk_main(int argc, char** argv, const t_runConfig* config);

void flushSurf(t_pixel* p_pbuff, int width, int height);
void draw(SDL_Surface* surface, t_pixel* p_pbuff, scalar exposure);

int init_qkd(t_qkd* qkd);
int benchmark_init_qkd(t_qkd* qkd);

// Camera and light animation.
void translation(t_matrix* out, scalar x, scalar y, scalar z);
void rotationX(t_matrix* out, scalar angle);
void rotationY(t_matrix* out, scalar angle);
void multiply(t_matrix* out, const t_matrix* a, const t_matrix* b);
void interactiveCameraPath(t_matrix* matView, scalar t, t_scene* scene);
void benchmarkCameraPath(t_matrix* matView, scalar pathParam);
void initLights(t_scene* scene);
void updateLights(t_scene* scene, scalar t);

void benchmark(int withVideo, const t_runConfig* config);

#endif
