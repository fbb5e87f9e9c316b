// Shared records of the terrain ray tracer and the functions that cross
// module boundaries. Vectors are row vectors, y is up, camera space looks
// along +z.
#ifndef TESK_H
#define TESK_H

#include <cstddef>
#include <cstdint>

typedef float scalar;

struct t_qkd;

// One pixel of the floating-point frame buffer.
union t_pixel {
    struct {
        scalar r, g, b;
        scalar density;  // divisor applied at display time
    };
    scalar m[4];
};
static_assert(sizeof(t_pixel) == 16, "t_pixel is four scalars");

struct t_ray {
    scalar w[3];    // direction
    scalar x[3];    // origin
    scalar ___[2];  // pads the record to eight scalars; never read
};
static_assert(sizeof(t_ray) == 32, "t_ray is eight scalars");
static_assert(offsetof(t_ray, x) == 12, "t_ray: direction first, then origin");

union t_matrix {
    struct {
        scalar _11, _12, _13, _14;
        scalar _21, _22, _23, _24;
        scalar _31, _32, _33, _34;
        scalar _41, _42, _43, _44;
    };
    scalar m[4][4];
};
typedef t_matrix matrix;
static_assert(sizeof(t_matrix) == 64, "t_matrix is sixteen scalars");

struct t_material {
    scalar rgb[3];
};

struct t_dirLight {
    scalar rgb[3];
    scalar l;     // spare
    scalar w[3];  // direction in which the light travels
};
static_assert(offsetof(t_dirLight, w) == 16, "t_dirLight field order");

// Preetham daylight sky parameters, filled by sky_init.
typedef struct t_skySystem {
    scalar sunDirection[3];  // direction in which sunlight travels
    scalar sunColor[3];      // spare
    scalar T;                // turbidity
    scalar theta;            // zenith angle of the sun
    scalar phi;              // azimuth of the sun, 0 to 2 pi
    scalar zenith_x;
    scalar zenith_y;
    scalar zenith_Y;
    scalar perez_Y[5];
    scalar perez_x[5];
    scalar perez_y[5];
    scalar sunSolidAngle;
    scalar beta;
    // Terms of the sun alone, kept by sky_init so that each view direction
    // skips them; double because the colour formulas divide by them in double.
    scalar ___;              // aligns the doubles; never read
    double perezDen_x;       // F(0, theta) for x, y and Y
    double perezDen_y;
    double perezDen_Y;
    double cosTheta;         // of the sun's zenith angle
    double sinTheta;
} skySystem;
static_assert(offsetof(skySystem, perezDen_x) == 30 * sizeof(scalar),
              "skySystem: the packed scalars, then the sun's cached terms");
static_assert(sizeof(skySystem) == 30 * sizeof(scalar) + 5 * sizeof(double),
              "skySystem has no hidden padding");

struct t_scene {
    t_qkd* p_qkd;
    unsigned int num_qkd;
    t_dirLight* p_dirLights;
    unsigned int num_dirLights;
    scalar ambientLight[3];
    skySystem sky;
};

// Module tesk: camera rays, shading and the two frame renderers.
// Returns 0, or -1 (with nothing written to *p_buff) when the buffer cannot
// be allocated.
int allocAndInitSimpleRayBuffer(t_ray** p_buff, unsigned int width, unsigned int height,
                                scalar nearDist);
int intersect(scalar* rgbt, t_scene* scene, t_ray* ray);
int applyLighting(scalar* rgbt, t_scene* scene, scalar* x, scalar* N);
int doesIntersect(t_scene* scene, t_ray* ray);
scalar findMaxHeight(t_scene* scene, scalar x, scalar z);
int render(t_pixel* p_pbuff, t_ray* p_rbuff, t_scene* p_scene, t_matrix* matView,
           unsigned int WIDTH, unsigned int HEIGHT);
int render_mlrta(t_pixel* p_pbuff, t_ray* p_rbuff, t_scene* p_scene, t_matrix* matView,
                 unsigned int WIDTH, unsigned int HEIGHT);

// Module preetham: the daylight sky.
void sky_init(skySystem* p_skySystem);
void sky_intersect(scalar* p_color, const skySystem* p_skySystem, const t_ray* p_ray);
// The sky of n view directions at once, several per SIMD lane set (the widest
// the processor runs: SSE2, AVX2 or AVX-512): direction i is (wx[i], wy[i],
// wz[i]), its colour goes to p_rgb[3 i], p_rgb[3 i + 1], p_rgb[3 i + 2].
// Each colour is within one float rounding of sky_intersect's for the same
// direction and nearly always equal to it, and does not depend on n, on i or
// on the processor. Any n; no allocation; p_rgb must not overlap the inputs.
void sky_intersectN(scalar* p_rgb, const skySystem* p_skySystem, const scalar* wx,
                    const scalar* wy, const scalar* wz, unsigned int n);

#endif
