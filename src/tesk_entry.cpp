// Program entry: the render size and the run limits are fixed per program
// at build time; everything else lives in the library.
#include "tesk_app.h"

#ifndef TESK_WIDTH
#define TESK_WIDTH 512
#endif
#ifndef TESK_HEIGHT
#define TESK_HEIGHT 512
#endif
#ifndef TESK_RUN_LIMIT
#define TESK_RUN_LIMIT 120.0
#endif
#ifndef TESK_BENCHMARK_LIMIT
#define TESK_BENCHMARK_LIMIT 300.0
#endif

constexpr unsigned int WIDTH = TESK_WIDTH;
constexpr unsigned int HEIGHT = TESK_HEIGHT;

int main(int argc, char** argv)
{
    const t_runConfig config = {WIDTH, HEIGHT, (scalar)TESK_RUN_LIMIT,
                                (scalar)TESK_BENCHMARK_LIMIT};
    return tesk_main(argc, argv, &config);
}
