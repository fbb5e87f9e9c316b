// Module main (the application shell): program entry, presentation,
// screenshots, animation, heightmap loading and the benchmark mode.
// Internal to the project: programs, tools and tests include it.
#ifndef TESK_APP_H
#define TESK_APP_H

#include <SDL/SDL.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "tesk.h"
#include "tesk_qkd.h"

// Build-time settings of one program.
struct t_runConfig {
    unsigned int width, height;  // interactive render size
    scalar runLimit;             // interactive run, processor seconds
    scalar benchmarkLimit;       // benchmark run, processor seconds
};

int tesk_main(int argc, char** argv, const t_runConfig* config);

// Denormal results flushed to zero, denormal inputs read as zero.
void setDenormalsToZero();

void stars();
void subs();
void usage();

// State of the interactive run that events and the status line change.
struct t_runState {
    SDL_Surface* screen;  // screenshots are taken of it
    scalar exposure;
    int askQuit;  // Escape seen, waiting for Y or N
    int quit;     // leave the loop after the current frame
    int shotCounter;
    unsigned int numFrames;
    unsigned int numFramesSinceStatus;
    scalar minRate, maxRate;  // negative: nothing measured yet
    clock_t t0, tStatus;
    char statusLine[512];
};

void initRunState(t_runState* st, SDL_Surface* screen);
// One event; type and key are SDL 1.2's event type and key symbol.
void handleEvent(t_runState* st, int type, int key);
void handleSdlEvent(t_runState* st, const SDL_Event* event);
// Rates of the interval ending at `now`, formatted into st->statusLine.
void updateStatus(t_runState* st, clock_t now, scalar runLimit);
void writeRunStats(FILE* out, const t_runState* st, clock_t end, const t_runConfig* config);
void writeBenchmarkStats(FILE* out, unsigned int numFrames, const t_qkd_stats* stats,
                         scalar benchmarkLimit);

void flushSurf(t_pixel* p_pbuff, int width, int height);
void draw(SDL_Surface* surface, t_pixel* p_pbuff, scalar exposure);
// One channel as draw shows it: linear scale, clamped, negative and NaN black.
Uint8 channelByte(scalar v);
// Writes the surface as a BMP file; one that cannot be written completely is
// removed. Returns 0, or -1 with errno telling why.
int saveBmp(SDL_Surface* surface, const char* name);
void saveScreenshot(SDL_Surface* surface, int* shotCounter);

// Largest heightmap side the loader accepts (8193 = 2 * 2^12 + 1): SDL 1.2
// reads no image 16384 or more pixels wide.
constexpr int64_t MAX_HEIGHTMAP_SIDE = 8193;
// 1 when a w x h image can be a heightmap for leaves minNodeSize wide.
int heightmapSideOk(int64_t w, int64_t h, uint32_t minNodeSize);
// The sample of a pixel deeper than 8 bits: r*g*b / 255^3 of the full height.
t_qkdHeightVal rgbSample(Uint8 r, Uint8 g, Uint8 b);
int init_qkd_from(t_qkd* qkd, const char* fileName);
int init_qkd(t_qkd* qkd);
int benchmark_init_qkd(t_qkd* qkd);

// Camera and light animation.
void translation(t_matrix* out, scalar x, scalar y, scalar z);
void rotationX(t_matrix* out, scalar angle);
void rotationY(t_matrix* out, scalar angle);
void multiply(t_matrix* out, const t_matrix* a, const t_matrix* b);
void interactiveCameraPath(t_matrix* matView, scalar t, t_scene* scene);
void benchmarkCameraPath(t_matrix* matView, scalar pathParam);
// Non-zero when the light record cannot be allocated.
int initLights(t_scene* scene);
void updateLights(t_scene* scene, scalar t);

void benchmark(int withVideo, const t_runConfig* config);

#endif
