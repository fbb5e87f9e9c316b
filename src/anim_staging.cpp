// Camera and light animation (module main): the matrix builders, the two
// camera paths and the moving sun that colours the light and the ambient term.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tesk_app.h"

void translation(t_matrix* out, scalar x, scalar y, scalar z)
{
    memset(out, 0, sizeof(*out));
    out->_11 = out->_22 = out->_33 = out->_44 = 1.0f;
    out->_41 = x;
    out->_42 = y;
    out->_43 = z;
}

void rotationX(t_matrix* out, scalar angle)
{
    const scalar s = sinf(angle), c = cosf(angle);
    memset(out, 0, sizeof(*out));
    out->_11 = 1.0f;
    out->_22 = c;
    out->_23 = s;
    out->_32 = -s;
    out->_33 = c;
    out->_44 = 1.0f;
}

void rotationY(t_matrix* out, scalar angle)
{
    const scalar s = sinf(angle), c = cosf(angle);
    memset(out, 0, sizeof(*out));
    out->_11 = c;
    out->_13 = -s;
    out->_22 = 1.0f;
    out->_31 = s;
    out->_33 = c;
    out->_44 = 1.0f;
}

void multiply(t_matrix* out, const t_matrix* a, const t_matrix* b)
{
    // Pairwise sums, so that the result does not depend on how the compiler
    // would chain four additions.
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            out->m[i][j] = (a->m[i][0] * b->m[0][j] + a->m[i][1] * b->m[1][j]) +
                           (a->m[i][2] * b->m[2][j] + a->m[i][3] * b->m[3][j]);
        }
    }
}

namespace {

// Yaw about Y, then pitch about the fixed X axis, then move to the position.
void composeView(t_matrix* matView, scalar yaw, scalar pitch, scalar x, scalar y, scalar z)
{
    t_matrix ry, rx, r, tr;
    rotationY(&ry, yaw);
    rotationX(&rx, pitch);
    multiply(&r, &ry, &rx);
    translation(&tr, x, y, z);
    multiply(matView, &r, &tr);
}

// The sun's travel direction at time t, not yet normalised.
void sunDirectionAt(scalar* w, scalar t)
{
    const double td = t;
    const double A = sin(0.23 * td) + 2.6;
    w[0] = (scalar)(A * sin(0.04 * td));
    w[1] = (scalar)(1.7 * sin(0.03 * td) - 2.0);
    w[2] = (scalar)(-A * cos(0.04 * td));
}

// Normalises the light's direction and points the sky's sun along it.
void aimSky(t_scene* scene, t_dirLight* light)
{
    scalar* w = light->w;
    const scalar k = 1.0f / sqrtf(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    for (int c = 0; c < 3; ++c) {
        w[c] = k * w[c];
        scene->sky.sunDirection[c] = w[c];
    }
    sky_init(&scene->sky);
}

}  // namespace

void interactiveCameraPath(t_matrix* matView, scalar t, t_scene* scene)
{
    const scalar cycles = t * 0.05f;
    const scalar phase = cycles - truncf(cycles);  // the path repeats every 20 s
    const scalar sf = (scalar)((double)t + 90.0);
    const double s = sf;

    if (phase < 0.3f) {
        // Low flight: the height follows the ground, set after composing.
        const scalar x = (scalar)(4.0 * sin(0.1314 * s));
        const scalar z = (scalar)(4.0 * sin(0.1115 * s));
        const scalar pitch = (scalar)(0.45 * sin(0.03 * s + 10.333));
        const scalar yaw = (scalar)(0.15 * s + 10.333);
        composeView(matView, yaw, pitch, x, 0.0f, z);
        matView->_42 = findMaxHeight(scene, matView->_41, matView->_43) + 1.0f;
    } else if (phase < 0.6f) {
        // Circling.
        const scalar x = (scalar)(13.2 * sin(0.1314 * s + 5.0));
        const scalar y = (scalar)(2.0 * sin(0.011223 * s) + 10.494999992847443);
        const scalar z = (scalar)(13.2 * sin(0.1115 * s + 10.0));
        const scalar pitch = (scalar)(0.45 * sin(0.03 * s));
        const scalar yaw = (scalar)(0.05 * s);
        composeView(matView, yaw, pitch, x, y, z);
    } else {
        // Overview.
        const scalar x = (scalar)(0.12 * sin(0.1314 * s));
        const scalar y = (scalar)(2.0 * sin(0.011223 * s) + 25.004499999899416);
        const scalar z = (scalar)(0.12 * sin(0.1115 * s) - 100.0);
        composeView(matView, 0.0001f, 0.45f, x, y, z);
    }
}

void benchmarkCameraPath(t_matrix* matView, scalar pathParam)
{
    const double p = pathParam;
    const scalar x = (scalar)(4.0 * sin(0.1314 * p));
    const scalar y = (scalar)(2.0 * sin(0.011223 * p) + 0.15);
    const scalar z = (scalar)(4.0 * sin(0.1115 * p));
    const scalar pitch = (scalar)(0.45 * sin(0.03 * p));
    const scalar yaw = (scalar)(0.05 * p);
    composeView(matView, yaw, pitch, x, y, z);
}

int initLights(t_scene* scene)
{
    t_dirLight* light = (t_dirLight*)calloc(1, sizeof(t_dirLight));
    if (!light)
        return -1;
    scene->p_dirLights = light;
    scene->num_dirLights = 1;

    // The first updateLights colours the light from the sky before it moves
    // the sun, so the sky must already follow the sun of t = 0.
    memset(&scene->sky, 0, sizeof(scene->sky));
    scene->ambientLight[0] = scene->ambientLight[1] = scene->ambientLight[2] = 0.0f;
    sunDirectionAt(light->w, 0.0f);
    aimSky(scene, light);
    return 0;
}

void updateLights(t_scene* scene, scalar t)
{
    static t_ray ray;  // hands directions to the sky; only w is used
    t_dirLight* light = &scene->p_dirLights[0];

    sunDirectionAt(light->w, t);
    ray.w[0] = light->w[0];
    ray.w[1] = light->w[1];
    ray.w[2] = light->w[2];
    // Coloured by the sky of the previous sun position.
    sky_intersect(light->rgb, &scene->sky, &ray);

    aimSky(scene, light);

    // Ambient light: the sky seen opposite the sun's heading, at its height.
    ray.w[0] = -light->w[0];
    ray.w[1] = light->w[1];
    ray.w[2] = -light->w[2];
    sky_intersect(scene->ambientLight, &scene->sky, &ray);
    for (int c = 0; c < 3; ++c)
        scene->ambientLight[c] *= 0.2f;
}
