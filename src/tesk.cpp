// Module tesk: camera rays, shading with shadows and fog, and the two frame
// renderers. Every terrain query goes through the scene's first tree.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "tesk.h"
#include "tesk_math.h"
#include "tesk_internal.h"
#include "tesk_qkd.h"

namespace {

const scalar kSurfaceOffset = 0.01f;  // keeps shadow rays off their own surface
const scalar kShadowed = 0.3f;        // shadows are not black
const scalar kUnshadowed = 1.0f;
const scalar kFog = 0.015f;
const scalar kProbeHeight = 10000.0f;
const unsigned int kTileSize = 128;

}  // namespace

int allocAndInitSimpleRayBuffer(t_ray** p_buff, unsigned int width, unsigned int height,
                                scalar nearDist)
{
    const size_t count = (size_t)width * (size_t)height;
    if (height != 0 && count / height != width)
        return -1;
    if (count > SIZE_MAX / sizeof(t_ray))
        return -1;
    // At least one record, so that an empty frame still gets a valid pointer.
    t_ray* buff = (t_ray*)malloc((count ? count : 1) * sizeof(t_ray));
    if (!buff)
        return -1;
    *p_buff = buff;

    const scalar invH = 1.0f / (scalar)height;
    const scalar invW = 1.0f / (scalar)width;
    const scalar n2 = nearDist * nearDist;
    t_ray* ray = buff;
    for (unsigned int v = 0; v < height; ++v) {
        const scalar b = 0.5f - (scalar)v * invH;
        for (unsigned int u = 0; u < width; ++u, ++ray) {
            const scalar a = (scalar)u * invW - 0.5f;
            const scalar d = 1.0f / sqrtf(a * a + b * b + n2);
            ray->w[0] = a * d;
            ray->w[1] = b * d;
            ray->w[2] = nearDist * d;
            ray->x[0] = ray->x[1] = ray->x[2] = 0.0f;
        }
    }
    return 0;
}

int intersect(scalar* rgbt, t_scene* scene, t_ray* ray)
{
    scalar N[3];
    t_material mat;
    if (!intersect_qkd(&rgbt[3], N, &mat, ray, &scene->p_qkd[0]))
        return 0;
    const scalar t = rgbt[3];
    rgbt[0] = mat.rgb[0];
    rgbt[1] = mat.rgb[1];
    rgbt[2] = mat.rgb[2];

    scalar x[3];
    for (int c = 0; c < 3; ++c)
        x[c] = ray->x[c] + ray->w[c] * t + kSurfaceOffset * N[c];
    applyLighting(rgbt, scene, x, N);

    scalar atmo[3];
    sky_intersect(atmo, &scene->sky, ray);
    const scalar d = 1.0f / (1.0f + kFog * t);
    for (int c = 0; c < 3; ++c)
        rgbt[c] = d * rgbt[c] + (1.0f - d) * atmo[c];
    return 1;
}

int applyLighting(scalar* rgbt, t_scene* scene, scalar* x, scalar* N)
{
    scalar sum[3] = {scene->ambientLight[0], scene->ambientLight[1], scene->ambientLight[2]};
    t_ray shadow = {};
    shadow.x[0] = x[0];
    shadow.x[1] = x[1];
    shadow.x[2] = x[2];
    for (unsigned int u = 0; u < scene->num_dirLights; ++u) {
        const t_dirLight* light = &scene->p_dirLights[u];
        shadow.w[0] = -light->w[0];
        shadow.w[1] = -light->w[1];
        shadow.w[2] = -light->w[2];
        // Cast even for lights behind the surface: the cost is per light, not per facing.
        const scalar lit = doesIntersect(scene, &shadow) ? kShadowed : kUnshadowed;
        const scalar dot = N[0] * shadow.w[0] + N[1] * shadow.w[1] + N[2] * shadow.w[2];
        if (dot > 0.0f) {
            const scalar f = dot * lit;
            for (int c = 0; c < 3; ++c)
                sum[c] += f * light->rgb[c];
        }
    }
    for (int c = 0; c < 3; ++c)
        rgbt[c] = rgbt[c] * sum[c];
    return 0;
}

int doesIntersect(t_scene* scene, t_ray* ray)
{
    scalar t, N[3];
    t_material mat;
    return intersect_qkd(&t, N, &mat, ray, &scene->p_qkd[0]) ? 1 : 0;
}

scalar findMaxHeight(t_scene* scene, scalar x, scalar z)
{
    t_ray probe = {};
    probe.x[0] = x;
    probe.x[1] = kProbeHeight;
    probe.x[2] = z;
    // Tiny x and z keep every direction component non-zero for the traversal.
    probe.w[0] = 0.00001f;
    probe.w[1] = -1.0f;
    probe.w[2] = 0.00001f;
    scalar t, N[3];
    t_material mat;
    if (intersect_qkd(&t, N, &mat, &probe, &scene->p_qkd[0]))
        return kProbeHeight - t;
    return 0.0f;
}

int renderReference(t_pixel* p_pbuff, t_ray* p_rbuff, t_scene* p_scene, t_matrix* matView,
                    unsigned int WIDTH, unsigned int HEIGHT)
{
    t_ray ray = {};
    scalar rgbt[4] = {};
    for (unsigned int V = 0; V < HEIGHT; ++V) {
        const size_t row = (size_t)V * WIDTH;
        for (unsigned int U = 0; U < WIDTH; ++U) {
            const size_t i = row + U;
            transform(ray.x, matView, p_rbuff[i].x);
            transformW(ray.w, matView, p_rbuff[i].w);
            t_pixel* pix = &p_pbuff[i];
            if (intersect(rgbt, p_scene, &ray)) {
                pix->density = 1.0f;
                pix->r = rgbt[0];
                pix->g = rgbt[1];
                pix->b = rgbt[2];
            } else {
                // Sky pixels keep their density, which the clear set to 1.
                sky_intersect(pix->m, &p_scene->sky, &ray);
            }
        }
    }
    return 0;
}

namespace {

// A tile of the frame, its pixels row by row.
constexpr unsigned int kPixelTile = 16;
constexpr unsigned int kTilePixels = kPixelTile * kPixelTile;

// Everything a tile needs, kept off the stack of each call.
struct t_tileWork {
    t_ray rays[kTilePixels];
    t_qkdHit hits[kTilePixels];
    scalar wx[kTilePixels], wy[kTilePixels], wz[kTilePixels];
    scalar sky[3 * kTilePixels];
    t_ray shadows[kTilePixels];
    int shadowPixel[kTilePixels];
    int occluded[kTilePixels];
    scalar lightSum[kTilePixels][3];
};

// The pixels of one tile, shaded exactly as intersect does it pixel by
// pixel: a primary ray, a shadow ray per light for a hit, fog towards the
// sky of the view direction, the sky itself for a miss. The primary rays go
// from the tile's entry point, the shadow rays of a light in packets, and
// the sky is evaluated for the whole tile at once.
void renderTile(t_tileWork* tw, t_pixel* p_pbuff, t_ray* p_rbuff, t_scene* scene,
                t_matrix* matView, unsigned int WIDTH, unsigned int U, unsigned int V,
                unsigned int w, unsigned int h)
{
    const t_qkd* qkd = &scene->p_qkd[0];
    const unsigned int n = w * h;
    qkd_traceTile(qkd, (int)U, (int)V, (int)w, (int)h, p_rbuff, WIDTH, matView, tw->rays,
                  tw->hits);

    for (unsigned int i = 0; i < n; ++i) {
        tw->wx[i] = tw->rays[i].w[0];
        tw->wy[i] = tw->rays[i].w[1];
        tw->wz[i] = tw->rays[i].w[2];
    }
    sky_intersectN(tw->sky, &scene->sky, tw->wx, tw->wy, tw->wz, n);

    // The lit points, moved off the surface along the normal.
    int numHits = 0;
    for (unsigned int i = 0; i < n; ++i) {
        const t_qkdHit* hit = &tw->hits[i];
        if (!hit->result)
            continue;
        const t_ray* ray = &tw->rays[i];
        t_ray* shadow = &tw->shadows[numHits];
        *shadow = t_ray{};
        for (int c = 0; c < 3; ++c)
            shadow->x[c] = ray->x[c] + ray->w[c] * hit->t + kSurfaceOffset * hit->N[c];
        tw->shadowPixel[numHits] = (int)i;
        for (int c = 0; c < 3; ++c)
            tw->lightSum[numHits][c] = scene->ambientLight[c];
        ++numHits;
    }
    for (unsigned int u = 0; u < scene->num_dirLights; ++u) {
        const t_dirLight* light = &scene->p_dirLights[u];
        for (int k = 0; k < numHits; ++k)
            for (int c = 0; c < 3; ++c)
                tw->shadows[k].w[c] = -light->w[c];
        qkd_occluded(qkd, tw->shadows, numHits, tw->occluded);
        for (int k = 0; k < numHits; ++k) {
            const scalar* N = tw->hits[tw->shadowPixel[k]].N;
            const scalar* sw = tw->shadows[k].w;
            const scalar lit = tw->occluded[k] ? kShadowed : kUnshadowed;
            const scalar dot = N[0] * sw[0] + N[1] * sw[1] + N[2] * sw[2];
            if (dot > 0.0f) {
                const scalar f = dot * lit;
                for (int c = 0; c < 3; ++c)
                    tw->lightSum[k][c] += f * light->rgb[c];
            }
        }
    }

    int k = 0;
    for (unsigned int v = 0; v < h; ++v) {
        t_pixel* pix = &p_pbuff[(size_t)(V + v) * WIDTH + U];
        for (unsigned int u = 0; u < w; ++u, ++pix) {
            const unsigned int i = v * w + u;
            const t_qkdHit* hit = &tw->hits[i];
            const scalar* atmo = &tw->sky[3 * i];
            if (!hit->result) {
                // Sky pixels keep their density, which the clear set to 1.
                pix->r = atmo[0];
                pix->g = atmo[1];
                pix->b = atmo[2];
                continue;
            }
            const scalar d = 1.0f / (1.0f + kFog * hit->t);
            pix->density = 1.0f;
            for (int c = 0; c < 3; ++c) {
                const scalar lit = hit->mat.rgb[c] * tw->lightSum[k][c];
                pix->m[c] = d * lit + (1.0f - d) * atmo[c];
            }
            ++k;
        }
    }
}

}  // namespace

int render(t_pixel* p_pbuff, t_ray* p_rbuff, t_scene* p_scene, t_matrix* matView,
           unsigned int WIDTH, unsigned int HEIGHT)
{
    static t_tileWork tileWork;  // one frame at a time, like the walk's stack
    for (unsigned int V = 0; V < HEIGHT; V += kPixelTile) {
        const unsigned int h = HEIGHT - V < kPixelTile ? HEIGHT - V : kPixelTile;
        for (unsigned int U = 0; U < WIDTH; U += kPixelTile) {
            const unsigned int w = WIDTH - U < kPixelTile ? WIDTH - U : kPixelTile;
            renderTile(&tileWork, p_pbuff, p_rbuff, p_scene, matView, WIDTH, U, V, w, h);
        }
    }
    return 0;
}

int render_mlrta(t_pixel* p_pbuff, t_ray* p_rbuff, t_scene* p_scene, t_matrix* matView,
                 unsigned int WIDTH, unsigned int HEIGHT)
{
    const t_qkd* qkd = &p_scene->p_qkd[0];
    for (unsigned int V = 0; V < HEIGHT; V += kTileSize) {
        // The tile renderer clips tiles at the row width but cannot know the
        // frame's height: a last row of tiles that the height cuts short is
        // passed as smaller tiles that end on the last row.
        const unsigned int side = HEIGHT - V < kTileSize ? HEIGHT - V : kTileSize;
        for (unsigned int U = 0; U < WIDTH; U += side) {
            render_qkd_mlrta(qkd, (int)U, (int)V, (int)side, p_pbuff, p_rbuff, WIDTH, matView);
            if (WIDTH - U <= side)
                break;  // the last tile of the row; also keeps U from wrapping
        }
        if (HEIGHT - V <= kTileSize)
            break;
    }
    return 0;
}
