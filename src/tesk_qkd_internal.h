// Private parts of the tree module, shared with its tests.
#ifndef TESK_QKD_INTERNAL_H
#define TESK_QKD_INTERNAL_H

#include "tesk_math.h"
#include "tesk_qkd.h"

// Traversal state of one node.
struct t_state {
    scalar centerXZ[2];  // world x and z of the node's centre
    scalar t_min;        // ray parameter interval examined in the node
    scalar t_max;
    uint32_t rec;  // level; 0 is the root
    const t_qkd_node* node;
};

int recursiveBuild(t_qkd* qkd, uint32_t u, uint32_t v, uint32_t nodeSize, uint32_t nodeIndex,
                   uint32_t recLeft);

void presort_ofs(uint32_t* sortedOfs, const t_ray* ray);
int iterativeQkdTraverse(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                         const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                         const t_qkd* qkd);

#endif
