// The single-ray walk built for AVX-512 with its 128- and 256-bit forms
// (AVX512VL, without FMA): the compiler then merges the walk's chains of
// mask ORs into three-input logic and broadcasts constants from memory
// inside the instructions that use them, which took 1.5 to 2.5 % off the
// walk on the AMD EPYC. Called only on processors that have both, and where
// the build pays (qkd_setSingleRaysAvx512). The packet walk stays without
// VL, which gave it nothing there.
#define QKD_LANES 16
#include "tesk_qkd_kernels.h"

int qkd_walkAvx512(scalar* t, scalar* N, t_material* mat, const uint32_t* sortedOfs,
                   const t_ray* ray, const scalar* inv_w, const t_state* initialState,
                   const t_qkd* qkd)
{
    return walk(t, N, mat, sortedOfs, ray, inv_w, initialState, qkd);
}
