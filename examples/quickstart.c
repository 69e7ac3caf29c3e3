/*
 * quickstart: a first tour of libvelmora in plain C99.
 *
 * 1. Edit distances between a few pairs.
 * 2. A small batch of observed barcodes matched against a bundled whitelist,
 *    by brute force (vorn_assign_many, with the kind of edit) and through an
 *    index built once (vorn_index_assign), which must agree.
 *
 * Usage: quickstart [DATA_DIR]   (default: the examples/data of the source tree)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velmora.h"

#ifndef VELMORA_EXAMPLE_DATA
#define VELMORA_EXAMPLE_DATA "examples/data"
#endif

#define MAX_LINES 1024
#define MAX_LINE 256

typedef struct line_list {
    char *text[MAX_LINES];
    size_t len[MAX_LINES];
    size_t count;
} line_list;

/* Reads up to MAX_LINES lines; for each, keeps the text up to the first tab
 * (the sequence) and, in labels if given, what follows it. */
static int read_lines(const char *path, line_list *seqs, line_list *labels) {
    char buf[MAX_LINE];
    FILE *f = fopen(path, "r");
    if (f == NULL) {
        fprintf(stderr, "quickstart: cannot open %s\n", path);
        return -1;
    }
    seqs->count = 0;
    if (labels != NULL) labels->count = 0;
    while (seqs->count < MAX_LINES && fgets(buf, sizeof buf, f) != NULL) {
        char *tab;
        size_t n = strcspn(buf, "\r\n");
        buf[n] = '\0';
        if (n == 0) continue;
        tab = strchr(buf, '\t');
        if (tab != NULL) *tab = '\0';
        seqs->len[seqs->count] = strlen(buf);
        seqs->text[seqs->count] = malloc(seqs->len[seqs->count] + 1);
        if (seqs->text[seqs->count] == NULL) break;
        memcpy(seqs->text[seqs->count], buf, seqs->len[seqs->count] + 1);
        if (labels != NULL) {
            const char *label = tab != NULL ? tab + 1 : "";
            labels->len[labels->count] = strlen(label);
            labels->text[labels->count] = malloc(labels->len[labels->count] + 1);
            if (labels->text[labels->count] == NULL) break;
            memcpy(labels->text[labels->count], label, labels->len[labels->count] + 1);
            labels->count++;
        }
        seqs->count++;
    }
    fclose(f);
    return 0;
}

static void free_lines(line_list *l) {
    size_t i;
    for (i = 0; i < l->count; ++i) free(l->text[i]);
    l->count = 0;
}

static const char *status_name(uint32_t status) {
    switch (status) {
        case VORN_STATUS_NONE: return "none";
        case VORN_STATUS_UNIQUE: return "unique";
        case VORN_STATUS_AMBIGUOUS: return "ambiguous";
        default: return "invalid";
    }
}

static const char *edit_name(uint32_t edit_class) {
    static const char *names[] = {"-", "exact", "substitution", "insertion",
                                  "deletion", "two edits", "more"};
    return edit_class <= VORN_EDIT_OTHER ? names[edit_class] : "invalid";
}

static void show_distances(void) {
    static const char *pairs[][2] = {
        {"ACGTACGTAC", "ACGTTCGTAA"}, {"ABC", "BCA"}, {"GATTACA", "GCATGCT"}, {"ACGT", ""}};
    size_t i;
    printf("Edit distances\n");
    for (i = 0; i < sizeof pairs / sizeof pairs[0]; ++i) {
        const uint8_t *a = (const uint8_t *)pairs[i][0];
        const uint8_t *b = (const uint8_t *)pairs[i][1];
        size_t al = strlen(pairs[i][0]), bl = strlen(pairs[i][1]);
        printf("  %-12s %-12s distance %u, within 2: %s\n", pairs[i][0],
               bl ? pairs[i][1] : "(empty)", (unsigned)vorn_edit_distance(a, al, b, bl),
               vorn_edit_distance_leq(a, al, b, bl, 2) == 1 ? "yes" : "no");
    }
    printf("\n");
}

int main(int argc, char **argv) {
    const char *dir = argc > 1 ? argv[1] : VELMORA_EXAMPLE_DATA;
    char path[1024];
    static line_list whitelist, batch, labels;
    const uint8_t *refs[MAX_LINES], *queries[MAX_LINES];
    vorn_assignment assigned[MAX_LINES];
    vorn_match indexed[MAX_LINES];
    vorn_index *index;
    const int32_t k = 1;
    int rc = 1;
    size_t i;

    show_distances();

    snprintf(path, sizeof path, "%s/quickstart_whitelist.txt", dir);
    if (read_lines(path, &whitelist, NULL) != 0) return 1;
    snprintf(path, sizeof path, "%s/quickstart_barcodes.txt", dir);
    if (read_lines(path, &batch, &labels) != 0) goto out;
    for (i = 0; i < whitelist.count; ++i) refs[i] = (const uint8_t *)whitelist.text[i];
    for (i = 0; i < batch.count; ++i) queries[i] = (const uint8_t *)batch.text[i];

    if (vorn_assign_many(queries, batch.len, batch.count, refs, whitelist.len, whitelist.count, k,
                         0, assigned) != 0) {
        fprintf(stderr, "quickstart: vorn_assign_many rejected its arguments\n");
        goto out;
    }
    index = vorn_index_build(refs, whitelist.len, whitelist.count);
    if (index == NULL) {
        fprintf(stderr, "quickstart: could not build the index\n");
        goto out;
    }
    if (vorn_index_assign(index, queries, batch.len, batch.count, k, indexed) != 0) {
        fprintf(stderr, "quickstart: vorn_index_assign rejected its arguments\n");
        vorn_index_free(index);
        goto out;
    }
    vorn_index_free(index);

    printf("%zu observed barcodes against a whitelist of %zu, at most %d edit\n", batch.count,
           whitelist.count, (int)k);
    printf("  %-18s %-18s %-10s %-18s %-13s %s\n", "observed", "what it is", "status",
           "assigned to", "edit", "index agrees");
    for (i = 0; i < batch.count; ++i) {
        const vorn_assignment *a = &assigned[i];
        const vorn_match *m = &indexed[i];
        int agrees = m->best_index == a->best_index && m->best_distance == a->best_distance &&
                     m->second_distance == a->second_distance && m->hit_count == a->hit_count &&
                     m->status == a->status;
        printf("  %-18s %-18s %-10s %-18s %-13s %s\n", batch.text[i], labels.text[i],
               status_name(a->status),
               a->hit_count ? whitelist.text[a->best_index] : "-", edit_name(a->edit_class),
               agrees ? "yes" : "NO");
        if (!agrees) goto out;
    }
    rc = 0;
out:
    free_lines(&whitelist);
    free_lines(&batch);
    free_lines(&labels);
    return rc;
}
