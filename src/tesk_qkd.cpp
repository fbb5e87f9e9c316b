// Module tesk_qkd: the tree. (Stand-in; being built.)
#include "tesk_qkd_internal.h"

t_qkd_stats g_qkdStats;

int invalidate_qkd(t_qkd*) { return 0; }
int intersect_qkd(scalar*, scalar*, t_material*, const t_ray*, const t_qkd*) { return 0; }
void presort_ofs(uint32_t*, const t_ray*) {}
int iterativeQkdTraverse(scalar*, scalar*, t_material*, const uint32_t*, const t_ray*,
                         const scalar*, const t_state*, const t_qkd*)
{
    return 0;
}
int recursiveBuild(t_qkd*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) { return 0; }
