// Writes a small 8-bit grey heightmap (a pyramid) for the program tests:
//   tesk-test-bmp <file> <side>
#include <SDL/SDL.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        fputs("usage: tesk-test-bmp <file> <side>\n", stderr);
        return 1;
    }
    const int side = atoi(argv[2]);
    SDL_Surface* s = SDL_CreateRGBSurface(SDL_SWSURFACE, side, side, 8, 0, 0, 0, 0);
    if (side < 1 || !s) {
        fputs("tesk-test-bmp: cannot make the image\n", stderr);
        return 1;
    }
    // Set directly: SDL_SetColors wants a video mode.
    for (int i = 0; i < 256; ++i) {
        SDL_Color& c = s->format->palette->colors[i];
        c.r = c.g = c.b = (Uint8)i;
    }
    const int half = side / 2;
    for (int y = 0; y < side; ++y) {
        Uint8* row = (Uint8*)s->pixels + y * s->pitch;
        for (int x = 0; x < side; ++x) {
            const int d = abs(x - half) > abs(y - half) ? abs(x - half) : abs(y - half);
            row[x] = (Uint8)(255 - 255 * d / (half > 0 ? half : 1));
        }
    }
    const int ret = SDL_SaveBMP(s, argv[1]);
    SDL_FreeSurface(s);
    if (ret != 0) {
        fprintf(stderr, "tesk-test-bmp: %s\n", SDL_GetError());
        return 1;
    }
    return 0;
}
