// Module main: the application shell. (Stand-in; being built.)
#include <cstdio>

#include "tesk_app.h"

int tesk_main(int, char**, const t_runConfig*) { return 0; }
void benchmark(int, const t_runConfig*) {}
void flushSurf(t_pixel*, int, int) {}
void draw(SDL_Surface*, t_pixel*, scalar) {}
int init_qkd(t_qkd*) { return 0; }
int benchmark_init_qkd(t_qkd*) { return 0; }
