// tesk-frame: one frame of the interactive flight, rendered without a window
// and written as a BMP, for looking at a moment of the flight.
#ifndef TESK_FRAME_H
#define TESK_FRAME_H

#include <cstdint>

#include "tesk.h"

constexpr unsigned int FRAME_DEFAULT_SIZE = 512;
constexpr unsigned int FRAME_MAX_SIZE = 4096;
constexpr const char* FRAME_DEFAULT_OUTPUT = "tesk-frame.bmp";

// Everything one frame needs; made once by frameSetup.
struct t_frameContext {
    unsigned int size;  // square frame side in pixels
    t_pixel* p_pbuff;
    t_ray* p_rbuff;
    t_scene scene;
};

// Loads the heightmap (reporting as the interactive mode does) and allocates
// the buffers. Returns 0, or 1 after one message on standard error.
int frameSetup(t_frameContext* ctx, unsigned int size, const char* heightmapFile);

// Frees what frameSetup allocated.
void frameRelease(t_frameContext* ctx);

// Renders the flight at time t (seconds) into ctx->p_pbuff. The sun is set
// for t itself, as in a running flight where the previous frame's sun is a
// moment earlier.
void frameRender(t_frameContext* ctx, scalar t);

// The frame as 8-bit RGB, top row first, converted exactly as the window
// shows it at exposure 1.0. rgb holds 3 * size * size bytes.
void frameToRGB(const t_frameContext* ctx, uint8_t* rgb);

// Writes a 24-bit BMP. Returns 0, or 1 after one message on standard error.
int frameWriteBmp(const uint8_t* rgb, unsigned int size, const char* fileName);

// The tool's command line; returns the exit status.
int frameMain(int argc, char** argv);

#endif
