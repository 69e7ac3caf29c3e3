/* The public header on its own, as strict C99. */
#include "velmora.h"

int velmora_header_c99_probe(void);
int velmora_header_c99_probe(void) {
    vorn_match m = {VORN_STATUS_NONE, 0, 0, 0, VORN_STATUS_INVALID};
    vorn_assignment a = {0, 0, 0, 0, 0, VORN_STATUS_NONE, VORN_EDIT_INVALID};
    vorn_stats s = {0, 0};
    return (int)(m.best_index + a.edit_class + s.candidates);
}
