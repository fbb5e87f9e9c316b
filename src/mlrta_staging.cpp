// MLRTA tile renderer (module tesk_qkd). (Stand-in; being built.)
#include "tesk_qkd_internal.h"

int render_qkd_mlrta(const t_qkd*, int, int, int, t_pixel*, t_ray*, unsigned int, t_matrix*)
{
    return 0;
}
