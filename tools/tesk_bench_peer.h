// tesk-bench's peer: a general-purpose BVH ray tracer (Embree 3) on the same
// triangles and the same primary rays, so the tree's figures have a yardstick.
// Built only when Embree is found.
#ifndef TESK_BENCH_PEER_H
#define TESK_BENCH_PEER_H

#include <cstdint>

#include "tesk.h"
#include "tesk_qkd.h"

struct t_peer;

struct t_peerInfo {
    const char* version;      // Embree's version
    uint64_t numTriangles;
    uint64_t memoryPeakBytes;  // largest total of Embree's own allocations
};

// Builds every cell of the map as two triangles, split along the diagonal
// the leaves use, on an Embree device limited to one thread and to the
// instruction sets up to maxIsa (Embree's name: "sse2", "avx2", "avx512"), so
// that it runs on what the tree walk runs on. Returns null after one message
// on standard error.
t_peer* peerBuild(const t_qkd* qkd, const char* maxIsa, t_peerInfo* info);

// The frame's primary rays (camera ray buffer moved into the world by
// matView, side x side) traced one by one with rtcIntersect1, or in packets
// of 2 x 4 pixels with rtcIntersect8. Each ray's t goes to p_t (infinity for
// a miss); returns the number of hits.
uint64_t peerTraceSingle(t_peer* peer, const t_ray* p_rbuff, const t_matrix* matView,
                         unsigned int side, scalar* p_t);
uint64_t peerTracePackets(t_peer* peer, const t_ray* p_rbuff, const t_matrix* matView,
                          unsigned int side, scalar* p_t);

void peerRelease(t_peer* peer);

#endif
