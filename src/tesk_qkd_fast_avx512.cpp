// The walks built for AVX-512 (without FMA), packets in vectors of sixteen
// rays; called only on processors that have it. Single rays take this build
// only where it pays (qkd_setSingleRaysAvx512).
#define QKD_LANES 16
#include "tesk_qkd_kernels.h"

void qkd_walkPacketAvx512(t_qkdPacket* p, const uint32_t* sortedOfs, const t_state* start,
                          const t_qkd* qkd)
{
    walkPacket(p, sortedOfs, start, qkd);
}

int qkd_walkAvx512(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                   const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                   const t_qkd* qkd)
{
    return walk(t, N, mat, sortedOfs, ray, inv_w, initialState, qkd);
}
