// The public header on its own, as C++, and the record layouts callers rely on.
#include "velmora.h"

#include <type_traits>

static_assert(sizeof(vorn_match) == 20);
static_assert(sizeof(vorn_assignment) == 28);
static_assert(sizeof(vorn_stats) == 16);
static_assert(std::is_standard_layout_v<vorn_match>);
static_assert(std::is_standard_layout_v<vorn_assignment>);
static_assert(std::is_standard_layout_v<vorn_stats>);
static_assert(noexcept(vorn_edit_distance(nullptr, 0, nullptr, 0)));
