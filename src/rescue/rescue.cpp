// Deciding one read's barcode: the distance rule or a posterior over the
// candidates within the bound.
#include "velmora.h"

extern "C" VORN_API void vorn_rescue_params_default(vorn_rescue_params *params) VORN_NOEXCEPT {
    if (params == nullptr) return;
    params->metric = VORN_METRIC_EDIT;
    params->k = 1;
    params->fixed_window = 0;
    params->rescue = 1;
    params->min_exact = 1;
    params->prior_pseudocount = 1.0;
    params->indel_weight = 0.1;
    params->min_posterior = 0.975;
    params->quality_offset = 33;
}

extern "C" VORN_API int32_t vorn_rescue_read(const vorn_index *, const uint8_t *, const uint8_t *,
                                             size_t, size_t, const uint64_t *, size_t,
                                             const vorn_rescue_params *, vorn_hit *, size_t,
                                             size_t *, vorn_rescue_result *) VORN_NOEXCEPT {
    return -1;  // not written yet
}
