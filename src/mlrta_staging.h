// Private parts of the MLRTA tile renderer (module tesk_qkd), shared with
// its tests.
#ifndef MLRTA_STAGING_H
#define MLRTA_STAGING_H

#include "tesk_qkd_internal.h"

// Render context of one call of render_qkd_mlrta; constant during the
// recursion.
struct t_renderData {
    t_pixel* p_pbuff;  // STRIDE pixels per row
    t_ray* p_rbuff;    // camera-space rays, indexed like p_pbuff
    uint32_t STRIDE;
    t_matrix* matView;  // camera to world
    const t_qkd* qkd;
    int32_t mlrta_minSize;          // tiles of at most this side are traced
    int32_t mlrta_numSubdivisions;  // sub-tiles per side when splitting
    // Exclusive column and row limits of the pixels (and rays) that may be
    // touched: the outermost tile clipped to the row width. Tiles are cut
    // at these limits, so nothing is read or written past them.
    int32_t clipX;
    int32_t clipY;
};

// An entry point, or a candidate during the search.
struct t_mlrta_EP {
    scalar bbMin[3];  // the node's world box
    scalar bbMax[3];
    const t_qkd_node* ep;
    scalar centerXZ[2];  // world x and z of the node's centre
    int32_t rec;         // the node's level; 0 is the root
};

// Inner side: f[0..2] . p - f[3] >= 0.
struct t_plane {
    scalar f[4];
};

// Builds the frustum of the tile (x, y, size), clipped to the context's
// limits, into P (room for 8 planes); returns the number of planes in use.
unsigned int mlrta_buildFrustum(t_plane* P, int x, int y, int size, const t_renderData* rdat);

int isAABBOutsideFrustum(const scalar* bbMin, const scalar* bbMax, const t_plane* P,
                         unsigned int numPlanes);
int nodeInRegion(scalar* bbMin, scalar* bbMax, const t_qkd_node* node, int x, int y, int size,
                 const scalar* centerXZ, t_renderData* rdat, int rec);
int mlrta_findEP(t_mlrta_EP* ep, int x, int y, int size, t_renderData* rdat);
void mlrta(const t_qkd_node* node, int x, int y, int size, const scalar* centerXZ,
           t_renderData* rdat, int rec);

#endif
