/* Uses the installed C header and library: the header's version must be the
 * package's, and one assignment must give the expected record. */
#include <stdio.h>
#include <string.h>

#include "velmora.h"

#define STR2(x) #x
#define STR(x) STR2(x)

int main(void) {
    const char *version =
        STR(VELMORA_VERSION_MAJOR) "." STR(VELMORA_VERSION_MINOR) "." STR(VELMORA_VERSION_PATCH);
    const uint8_t *refs[3] = {(const uint8_t *)"ACGTACGT", (const uint8_t *)"ACGTTCGT",
                              (const uint8_t *)"GGGG"};
    const size_t ref_lens[3] = {8, 8, 4};
    const uint8_t *query = (const uint8_t *)"ACGTACGA";
    const size_t query_len = 8;
    vorn_match m;
    vorn_index *index;
    int32_t rc;

    if (strcmp(version, EXPECTED_VERSION) != 0) {
        fprintf(stderr, "header version %s, package version %s\n", version, EXPECTED_VERSION);
        return 1;
    }
    index = vorn_index_build(refs, ref_lens, 3);
    if (index == NULL) {
        fprintf(stderr, "vorn_index_build failed\n");
        return 1;
    }
    rc = vorn_index_assign(index, &query, &query_len, 1, 1, &m);
    vorn_index_free(index);
    if (rc != 0 || m.status != VORN_STATUS_UNIQUE || m.best_index != 0 || m.best_distance != 1 ||
        m.hit_count != 1) {
        fprintf(stderr, "unexpected record: rc %d status %u index %u distance %u hits %u\n",
                (int)rc, (unsigned)m.status, (unsigned)m.best_index, (unsigned)m.best_distance,
                (unsigned)m.hit_count);
        return 1;
    }
    printf("velmora %s ok\n", version);
    return 0;
}
