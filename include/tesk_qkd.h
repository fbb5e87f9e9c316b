// The QKD tree: a complete quad-tree of min/max heights over a square
// heightmap. Leaves hold no geometry; their triangles are cut from the
// heightmap when a ray reaches them.
#ifndef TESK_QKD_H
#define TESK_QKD_H

#include <cstdint>

#include "tesk.h"

typedef uint16_t t_qkdHeightVal;

struct t_qkd_node {
    t_qkdHeightVal minH;  // lowest sample of the node's square, borders included
    t_qkdHeightVal maxH;  // highest sample of the node's square
    union {
        uint32_t ofs;          // inner node: first child index minus own index
        uint32_t heightmapUL;  // leaf: index of its upper-left sample in the heightmap
    };
};
static_assert(sizeof(t_qkd_node) == 8, "a tree node is eight bytes");

struct t_qkd {
    t_qkdHeightVal* heightmap;  // size * size samples, row-major
    uint32_t size;              // samples per side
    uint32_t minNodeSize;       // leaf width in cells
    scalar s;                   // world width in x and z
    scalar h;                   // world height of the sample 65535
    uint32_t numNodes;
    uint32_t numRecursions;  // level of the leaves; the root is level 0
    uint32_t nodeFree;
    t_qkd_node* nodes;
    scalar* S05;    // half the world width of a node, per level
    uint32_t* W05;  // size >> level
    scalar bbMin[3];
    scalar bbMax[3];
    scalar groundColorA[3];
    // World x of every column and z of every row, worked out once from the
    // sample index: a vertex shared by neighbouring leaves then has the same
    // coordinates in each.
    scalar* vertexX;
    scalar* vertexZ;
    // qkd_sampleHeight of each of the 65536 sample values, so that the walk
    // looks a height up instead of working it out. vertexX, vertexZ and this
    // table are one allocation, which vertexX points to.
    scalar* heightOfSample;
};

struct t_qkd_stats {
    uint64_t numLeafsVisited;
    uint64_t numNodesVisited;
    uint64_t numRaysHitRoot;
};
extern t_qkd_stats g_qkdStats;

// World height of a sample. Every user evaluates it this one way, so that a
// node's height bounds contain its triangles' vertices exactly.
static inline scalar qkd_sampleHeight(const t_qkd* qkd, t_qkdHeightVal sample)
{
    const double heightScale = 1.5259021896696422e-05 * (double)qkd->h;
    return (scalar)((double)sample * heightScale);
}

int invalidate_qkd(t_qkd* qkd);
int intersect_qkd(scalar* t, scalar* N, t_material* mat, const t_ray* ray, const t_qkd* qkd);

// A ray's terrain hit, as intersect_qkd reports it: its result (0 for a
// miss, which leaves the rest unset), t, normal and material.
struct t_qkdHit {
    int result;
    scalar t;
    scalar N[3];
    t_material mat;
};

// The camera rays of the w x h pixels from column x, row y of p_rbuff (row
// stride STRIDE; the tile must lie inside the buffer), moved into the world
// with matView into rays, and each one's terrain hit into hits, as
// intersect_qkd gives them, row by row. They are walked in packets from the
// tile's entry point (MLRTA's frustum search) instead of from the root.
void qkd_traceTile(const t_qkd* qkd, int x, int y, int w, int h, t_ray* p_rbuff,
                   unsigned int STRIDE, t_matrix* matView, t_ray* rays, t_qkdHit* hits);

// For each of n rays that all share one direction (shadow rays towards one
// light), whether it hits the terrain: intersect_qkd's result is not 0.
// Walked in packets.
void qkd_occluded(const t_qkd* qkd, const t_ray* rays, int n, int* hit);
int render_qkd_mlrta(const t_qkd* qkd, int x, int y, int size, t_pixel* p_pbuff, t_ray* p_rbuff,
                     unsigned int STRIDE, t_matrix* matView);

#endif
