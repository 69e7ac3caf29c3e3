/*
 * velmora.h - public interface of libvelmora.
 *
 * libvelmora matches nucleotide sequences (reads, cell and sample barcodes)
 * against a list of references while tolerating a few errors.  It offers:
 *
 *   - pairwise edit (Levenshtein) distance over bytes, exact or bounded;
 *   - brute-force matching of a batch of queries against a plain list;
 *   - a reference index, built once, that answers exact lookup, assignment
 *     with up to two edits and substitution-only (Hamming) assignment with up
 *     to three mismatches, always with the record brute force would give.
 *
 * Conventions shared by every function:
 *
 *   - A sequence is a byte pointer and a size_t length.  NULL with length 0
 *     is the empty sequence; NULL with a nonzero length is invalid.
 *     Bytes compare literally: 'N' matches only 'N' and case matters (except
 *     in the two *_ascii_* exact lookups).
 *   - A batch is an array of pointers, a parallel array of lengths and a
 *     count.  Result arrays are caller-owned, one record per query.
 *   - k is inclusive: a distance <= k qualifies.
 *   - Failures are return values only: no messages, no logging, no global
 *     error state.  Batch calls return 0 when the batch was processed and -1
 *     when an argument check failed; a rejected call writes no result.
 *     A problem with one query shows only in that query's record, as
 *     VORN_STATUS_INVALID.
 *   - The library holds no global state, performs no I/O and starts no
 *     threads.  Every function is reentrant.  An index is read-only after it
 *     is built: any number of threads may use one index at the same time,
 *     each with its own result arrays and its own vorn_stats.
 *   - Memory comes from malloc/calloc/free.  Running out of memory is
 *     reported through the documented return values, never by aborting.
 *
 * The header compiles as C99 and as C++.
 */
#ifndef VELMORA_H
#define VELMORA_H

#include <stddef.h>
#include <stdint.h>

#define VELMORA_VERSION_MAJOR 0
#define VELMORA_VERSION_MINOR 1
#define VELMORA_VERSION_PATCH 0

#if defined(VELMORA_BUILDING_LIBRARY) && (defined(__GNUC__) || defined(__clang__))
#define VORN_API __attribute__((visibility("default")))
#else
#define VORN_API
#endif

#ifdef __cplusplus
#define VORN_NOEXCEPT noexcept
extern "C" {
#else
#define VORN_NOEXCEPT
#endif

/* ------------------------------------------------------------------------
 * Records and codes
 * ------------------------------------------------------------------------ */

#define VORN_STATUS_NONE 0u              /* no reference within k */
#define VORN_STATUS_UNIQUE 1u            /* exactly one reference at best_distance */
#define VORN_STATUS_AMBIGUOUS 2u         /* two or more references at best_distance */
#define VORN_STATUS_INVALID 0xFFFFFFFFu  /* the query could not be evaluated */

#define VORN_EDIT_NONE 0u                /* no reference within k */
#define VORN_EDIT_EXACT 1u               /* best distance 0 */
#define VORN_EDIT_SUBSTITUTION 2u        /* best distance 1, equal lengths */
#define VORN_EDIT_INSERTION 3u           /* best distance 1, query one byte longer */
#define VORN_EDIT_DELETION 4u            /* best distance 1, query one byte shorter */
#define VORN_EDIT_TWO 5u                 /* best distance 2 */
#define VORN_EDIT_OTHER 6u               /* best distance 3 or more */
#define VORN_EDIT_INVALID 0xFFFFFFFFu    /* the query was not evaluated */

/*
 * vorn_match: the result of one query.
 *
 *   best_index       position in the reference list of the closest reference;
 *                    the lowest position among those at the best distance.
 *                    UINT32_MAX when nothing was found.
 *   best_distance    smallest distance found within k (edit distance, or the
 *                    number of substitutions for the Hamming assignment).
 *                    UINT32_MAX when nothing was found.
 *   second_distance  smallest distance within k strictly greater than
 *                    best_distance; UINT32_MAX when there is none.  A second
 *                    reference at best_distance does not change it.
 *   hit_count        number of references within k.
 *   status           one of the VORN_STATUS_* codes.  NONE exactly when
 *                    hit_count is 0; AMBIGUOUS when two or more references
 *                    share best_distance; INVALID when the query could not be
 *                    evaluated, with every other field at its "nothing found"
 *                    value.
 */
typedef struct vorn_match {
    uint32_t best_index;
    uint32_t best_distance;
    uint32_t second_distance;
    uint32_t hit_count;
    uint32_t status;
} vorn_match;

/*
 * vorn_assignment: vorn_match plus best_count (the number of references at
 * best_distance) and edit_class (one of the VORN_EDIT_* codes: the kind of
 * edit between the query and the reference at best_index).
 */
typedef struct vorn_assignment {
    uint32_t best_index;
    uint32_t best_distance;
    uint32_t second_distance;
    uint32_t best_count;
    uint32_t hit_count;
    uint32_t status;
    uint32_t edit_class;
} vorn_assignment;

/*
 * vorn_stats: work counters filled by every *_stats entry point.  When the
 * call's arguments are accepted, both are set to 0 once before the first
 * query and then accumulate over the whole batch.
 *
 *   candidates     references taken up as candidates for a query;
 *   verifications  full comparisons or distance computations performed.
 *
 * A query that an index path cannot decide and that goes to brute force adds
 * the index's reference count to both.
 */
typedef struct vorn_stats {
    uint64_t candidates;
    uint64_t verifications;
} vorn_stats;

/* The reference index.  Opaque: build it with vorn_index_build, release it
 * with vorn_index_free. */
typedef struct vorn_index vorn_index;

/* ------------------------------------------------------------------------
 * Alphabet policy and pairwise distance
 * ------------------------------------------------------------------------ */

/*
 * vorn_alphabet_policy() returns the static, NUL-terminated string
 * "literal-byte; A/C/G/T/N/IUPAC symbols are ordinary byte symbols; no
 * wildcard expansion".  The same pointer on every call; the caller must not
 * free or modify it.
 */
VORN_API const char *vorn_alphabet_policy(void) VORN_NOEXCEPT;

/*
 * vorn_edit_distance_dp() computes the edit distance of a and b with the
 * classic two-row dynamic programme (a_len x b_len cell updates, 2 x (b_len
 * + 1) cells of heap memory).
 * Returns the distance, or UINT32_MAX when a or b is NULL with a nonzero
 * length, when either length exceeds 0x7FFFFFFF, or when the rows cannot be
 * allocated.  Nothing outlives the call.
 */
VORN_API uint32_t vorn_edit_distance_dp(const uint8_t *a, size_t a_len,
                                        const uint8_t *b, size_t b_len) VORN_NOEXCEPT;

/*
 * vorn_edit_distance_myers64() computes the edit distance with the
 * bit-parallel method, a being the pattern and b the text.  A pattern of at
 * most 512 bytes runs in about 17 KiB of stack and no heap, with work
 * proportional to b_len x ceil(a_len / 64).  A longer pattern takes the
 * blocked form of the same method, which gives the same result as
 * vorn_edit_distance_dp: it allocates match masks for the distinct bytes of
 * a ((distinct bytes + 3) x ceil(a_len / 64) 64-bit words, released before
 * the call returns) and computes bands of diagonals of growing width until
 * one holds the distance, so its work is often far below b_len x
 * ceil(a_len / 64).
 * Returns the distance, or UINT32_MAX when a or b is NULL with a nonzero
 * length, when either length exceeds 0x7FFFFFFF, or when the masks of a
 * pattern over 512 bytes cannot be allocated.
 */
VORN_API uint32_t vorn_edit_distance_myers64(const uint8_t *a, size_t a_len,
                                             const uint8_t *b, size_t b_len) VORN_NOEXCEPT;

/*
 * vorn_edit_distance() returns the edit distance of a and b, for operands of
 * any length.  Checks first, before any byte is read: a or b NULL with a
 * nonzero length, or either length above 0x7FFFFFFF, gives UINT32_MAX.
 * Then equal-length pairs that differ in at most two bytes are answered by a
 * direct count, and everything else by the bit-parallel kernel
 * (vorn_edit_distance_myers64): with the shorter operand as the pattern when
 * it has at most 512 bytes, else in its blocked form, band by band, with the
 * shorter operand as the text.  Allocates
 * nothing unless both operands exceed 512 bytes; then UINT32_MAX also when
 * the kernel's masks cannot be allocated.
 */
VORN_API uint32_t vorn_edit_distance(const uint8_t *a, size_t a_len,
                                     const uint8_t *b, size_t b_len) VORN_NOEXCEPT;

/*
 * vorn_edit_distance_leq() tells whether the edit distance of a and b is at
 * most k, taking cheap shortcuts (length difference, byte comparison,
 * one-edit scan) before computing a distance, and then computing only the
 * diagonals within reach of k, stopping as soon as no path can stay within
 * k.  Any k and any lengths up to the limit.
 * Returns 1 when it is, 0 when it is not (always 0 for k < 0), and -1 when
 * the question could not be answered: a or b NULL with a nonzero length,
 * either length above 0x7FFFFFFF, or the distance kernel running out of
 * memory (possible only when both operands exceed 512 bytes).
 */
VORN_API int32_t vorn_edit_distance_leq(const uint8_t *a, size_t a_len,
                                        const uint8_t *b, size_t b_len,
                                        int32_t k) VORN_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Candidate lists (brute force)
 * ------------------------------------------------------------------------ */

/*
 * vorn_match_many() compares every query with every reference and writes one
 * vorn_match per query into out[0 .. n_queries-1].
 *
 *   queries, query_lens  n_queries query sequences (read only);
 *   refs, ref_lens       n_refs reference sequences (read only);
 *   k                    the largest edit distance that counts as a hit;
 *   out                  caller-owned array of n_queries records.
 *
 * The arguments are checked in this order; the first check that applies
 * decides, and a rejected call (-1) writes nothing:
 *   1. out is NULL or k < 0: -1;
 *   2. n_queries is 0: -1 when n_refs is nonzero and refs or ref_lens is
 *      NULL, else 0, whatever n_refs is; nothing is written;
 *   3. n_refs exceeds 0x7FFFFFFF: -1;
 *   4. queries or query_lens is NULL: -1;
 *   5. n_refs is nonzero and refs or ref_lens is NULL: -1.
 * Otherwise returns 0 with every record written (with n_refs = 0, refs and
 * ref_lens are not looked at and every valid query gets VORN_STATUS_NONE).
 * A query that is NULL with a nonzero length, or that meets a reference
 * that is NULL with a nonzero length, gets VORN_STATUS_INVALID;
 * a query whose distance to some reference could not be computed (memory ran
 * out; only when both sequences exceed 512 bytes) is also
 * VORN_STATUS_INVALID.  Allocates nothing unless a query and a reference both
 * exceed 512 bytes.
 */
VORN_API int32_t vorn_match_many(const uint8_t *const *queries, const size_t *query_lens,
                                 size_t n_queries, const uint8_t *const *refs,
                                 const size_t *ref_lens, size_t n_refs, int32_t k,
                                 vorn_match *out) VORN_NOEXCEPT;

/*
 * vorn_assign_many() is vorn_match_many() with a richer record: best_count
 * and the edit_class of the best reference (kept also when ambiguous).
 * require_single_hit = 0: ambiguous when two or more references share the
 * best distance; 1: ambiguous as soon as two or more references lie within
 * k.  Any other value is rejected.
 * Returns -1, writing nothing, when require_single_hit > 1, k < 0 or out is
 * NULL (checked first, also with no queries), then by checks 2 to 5 of
 * vorn_match_many() in the same order; otherwise 0.
 * An invalid query gets status VORN_STATUS_INVALID and edit_class
 * VORN_EDIT_INVALID.
 */
VORN_API int32_t vorn_assign_many(const uint8_t *const *queries, const size_t *query_lens,
                                  size_t n_queries, const uint8_t *const *refs,
                                  const size_t *ref_lens, size_t n_refs, int32_t k,
                                  uint32_t require_single_hit,
                                  vorn_assignment *out) VORN_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Reference index
 * ------------------------------------------------------------------------ */

/*
 * vorn_index_build() copies n_refs references (refs[i], ref_lens[i] bytes, no
 * terminator needed) into a new index; the caller may release or overwrite
 * its buffers on return.  References may mix lengths and alphabets.
 * n_refs == 0 gives a valid empty index, whatever refs and ref_lens are.
 * Returns NULL if refs or ref_lens is NULL (n_refs > 0), if n_refs exceeds
 * 0x7FFFFFFF, if some refs[i] is NULL with a nonzero length, or if memory
 * runs out; nothing is leaked then.  The index is read-only afterwards: any
 * number of threads may query it at once, none may free it meanwhile.
 */
VORN_API vorn_index *vorn_index_build(const uint8_t *const *refs, const size_t *ref_lens,
                                      size_t n_refs) VORN_NOEXCEPT;

/* Tables a build may leave out (flags of vorn_index_build_opts). */
#define VORN_INDEX_ALL 0u          /* every table: what vorn_index_build() builds */
#define VORN_INDEX_NO_DELETION 1u  /* no deletion table: edit assignment probes insertion
                                      variants of the query in the code table instead */
#define VORN_INDEX_NO_PIECES 2u    /* no piece table: Hamming assignment enumerates every
                                      code within the budget through the code table */

/*
 * vorn_index_build_opts() is vorn_index_build() with a choice of tables:
 * flags is VORN_INDEX_ALL or an OR of VORN_INDEX_NO_* bits.  A table left out
 * saves its memory and build time; every entry point still gives the same
 * records, by another route whose work the vorn_stats counters count.  The
 * status-only form gives the same statuses; when a build examines the
 * references in another order, its best_index may name another reference at
 * the same best distance (and its hit_count, second_distance and counters
 * cover what that build examined before it stopped).
 *
 *   VORN_INDEX_NO_DELETION  the deletion table (one entry per reference base)
 *       finds, for k = 1 and 2 and an A/C/G/T query, the references one base
 *       longer than a code.  Without it the code's insertion variants are
 *       looked up in the code table instead.  Same references, measured and
 *       counted once each, so the counters do not change.
 *       vorn_index_assign_hamming_stats never reads this table.
 *   VORN_INDEX_NO_PIECES  the piece tables (halves, thirds, quarters of each
 *       reference) serve vorn_index_assign_hamming_stats for A/C/G/T queries
 *       of at most 32 bytes: every reference of the query's length that
 *       agrees with it on one piece is counted, hit or not.  Without them
 *       every code within k substitutions of the query is looked up in the
 *       code table (1 + 3L lookups for k = 1, about 4.5 L^2 for k = 2 and
 *       4.5 L^3 for k = 3), and only the references found, which are exactly
 *       the hits, are counted.  The edit entry points read only the thirds,
 *       for the references within two substitutions at k = 2, and count
 *       only those that are hits either way, so their counters do not change.
 *
 * Memory, for a list of 16-base references: about 300 bytes per reference
 * with every table, 155 to 170 with either table left out, and about 28 with
 * both left out (see BENCHMARKS.md).  That is for a list of upper-case
 * A/C/G/T references of at most 32 bases, which the index holds as 2-bit
 * codes; a list with any other reference adds a copy of every reference's
 * bytes and 9 bytes per reference.
 * Returns NULL for unknown flag bits, and in every case vorn_index_build()
 * does.
 */
VORN_API vorn_index *vorn_index_build_opts(const uint8_t *const *refs, const size_t *ref_lens,
                                           size_t n_refs, uint32_t flags) VORN_NOEXCEPT;

/*
 * vorn_index_build_block() is vorn_index_build_opts() over n_refs references
 * of ref_len bytes each, held back to back in one block: reference i is
 * refs[i * ref_len] .. refs[i * ref_len + ref_len - 1].  It saves the caller
 * the pointer and length arrays (16 bytes per reference) of a list whose
 * entries share one length.  Same index, same records as
 * vorn_index_build_opts() over the same references.  Returns NULL if refs is
 * NULL with n_refs > 0 and ref_len > 0, if n_refs * ref_len would not fit a
 * size_t, and in every case vorn_index_build_opts() does.
 */
VORN_API vorn_index *vorn_index_build_block(const uint8_t *refs, size_t ref_len, size_t n_refs,
                                            uint32_t flags) VORN_NOEXCEPT;

/*
 * vorn_index_free() releases an index and everything it owns.  NULL is
 * accepted and ignored.
 */
VORN_API void vorn_index_free(vorn_index *index) VORN_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Exact lookup
 * ------------------------------------------------------------------------ */

/*
 * vorn_index_lookup_exact_stats() finds the references byte-for-byte equal to
 * query and writes result: best_index the lowest such position,
 * best_distance 0, hit_count their number, status UNIQUE or AMBIGUOUS (NONE
 * when there is none).  stats may be NULL; otherwise both counters are set
 * to the number of references compared (identical references counted from
 * the table, references of the query's length without a 2-bit code one each).
 * Returns -1, writing nothing, when index or result is NULL.  A query that
 * is NULL with a nonzero length gets VORN_STATUS_INVALID (and stats are
 * zeroed); the call returns 0.  Allocates nothing.
 */
VORN_API int32_t vorn_index_lookup_exact_stats(const vorn_index *index, const uint8_t *query,
                                               size_t query_len, vorn_match *result,
                                               vorn_stats *stats) VORN_NOEXCEPT;

/*
 * vorn_index_lookup_exact_ascii_stats() is vorn_index_lookup_exact_stats()
 * ignoring ASCII letter case: a-z and A-Z compare equal, every other byte
 * compares literally.  Every case-insensitively identical reference is
 * found, whichever case either side uses.
 */
VORN_API int32_t vorn_index_lookup_exact_ascii_stats(const vorn_index *index,
                                                     const uint8_t *query, size_t query_len,
                                                     vorn_match *result,
                                                     vorn_stats *stats) VORN_NOEXCEPT;

/*
 * vorn_index_lookup_exact_many_stats() is the batch form of
 * vorn_index_lookup_exact_stats(): results[i] belongs to queries[i].
 * Returns -1, writing nothing, when index is NULL (even for n_queries = 0)
 * or when n_queries > 0 and queries, query_lens or results is NULL;
 * otherwise 0.  stats (may be NULL) accumulates over the batch.
 */
VORN_API int32_t vorn_index_lookup_exact_many_stats(const vorn_index *index,
                                                    const uint8_t *const *queries,
                                                    const size_t *query_lens, size_t n_queries,
                                                    vorn_match *results,
                                                    vorn_stats *stats) VORN_NOEXCEPT;

/* Batch form of vorn_index_lookup_exact_ascii_stats(); checks as above. */
VORN_API int32_t vorn_index_lookup_exact_ascii_many_stats(const vorn_index *index,
                                                          const uint8_t *const *queries,
                                                          const size_t *query_lens,
                                                          size_t n_queries, vorn_match *results,
                                                          vorn_stats *stats) VORN_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Edit-tolerant index assignment
 * ------------------------------------------------------------------------ */

/*
 * vorn_index_assign() assigns each query to the index's references with up
 * to k edits and writes results[i] exactly as vorn_match_many() over the
 * same references would.  Index paths serve k = 0, 1 and 2 (k = 2 for
 * queries up to 34 bytes); anything else is answered by brute force.
 * Returns -1, writing nothing, when k < 0, index or results is NULL, or
 * n_queries > 0 with queries or query_lens NULL; otherwise 0.  A query that
 * is NULL with a nonzero length gets VORN_STATUS_INVALID.
 * Working memory lives on the stack (a few KiB); the heap is used only when
 * a query meets more than 128 distinct candidates, and running out of it
 * only sends that query to brute force.
 */
VORN_API int32_t vorn_index_assign(const vorn_index *index, const uint8_t *const *queries,
                                   const size_t *query_lens, size_t n_queries, int32_t k,
                                   vorn_match *results) VORN_NOEXCEPT;

/*
 * vorn_index_assign_stats() is vorn_index_assign() that also counts its work
 * in stats (may be NULL): each reference measured adds 1 to both counters,
 * each query answered by brute force adds the index's reference count.
 * stats is zeroed when the call is accepted (also for n_queries = 0) and
 * left untouched when it is rejected.
 */
VORN_API int32_t vorn_index_assign_stats(const vorn_index *index, const uint8_t *const *queries,
                                         const size_t *query_lens, size_t n_queries, int32_t k,
                                         vorn_match *results, vorn_stats *stats) VORN_NOEXCEPT;

/*
 * vorn_index_assign_status_stats() is the status-only form for k = 1 and
 * k = 2: the search for a query may stop as soon as two references share
 * the best distance found so far.  For k = 1 and queries of at most 32
 * bytes of A/C/G/T only, status and best_distance are those of the full
 * form; best_index is the lowest position among the references examined
 * before the stop (the full form's when the status is UNIQUE); hit_count
 * and second_distance cover only what was examined.  For k = 2, and for
 * queries with other bytes, the search order is not by distance, so a query
 * may be reported AMBIGUOUS at a distance larger than its true best.
 * Any other k behaves exactly like vorn_index_assign_stats().
 * Same argument checks and return values as vorn_index_assign_stats().
 */
VORN_API int32_t vorn_index_assign_status_stats(const vorn_index *index,
                                                const uint8_t *const *queries,
                                                const size_t *query_lens, size_t n_queries,
                                                int32_t k, vorn_match *results,
                                                vorn_stats *stats) VORN_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Hamming assignment
 * ------------------------------------------------------------------------ */

/*
 * vorn_index_assign_hamming_stats() assigns each query under the Hamming
 * distance: only references of exactly the query's length can match, and
 * best_distance is the number of differing positions (at most k, 0 <= k <=
 * 3).  Every record equals what comparing the query with every reference of
 * its length would give.  stats (may be NULL) counts the references taken
 * up.
 * Returns -1, writing nothing and leaving stats untouched, when k is not
 * 0..3, index or results is NULL, or n_queries > 0 with queries or
 * query_lens NULL; otherwise 0.  A query that is NULL with a nonzero length
 * gets VORN_STATUS_INVALID.  Never falls short because of memory: a query
 * whose search cannot grow its working set is answered by a linear scan.
 */
VORN_API int32_t vorn_index_assign_hamming_stats(const vorn_index *index,
                                                 const uint8_t *const *queries,
                                                 const size_t *query_lens, size_t n_queries,
                                                 int32_t k, vorn_match *results,
                                                 vorn_stats *stats) VORN_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Listing the hits
 * ------------------------------------------------------------------------ */

typedef struct vorn_hit {
    uint32_t ref_index;   /* position in the array given to the build */
    uint32_t distance;    /* edits or mismatches between the query and that reference */
} vorn_hit;

#define VORN_METRIC_EDIT    0u  /* Levenshtein distance, any k >= 0 */
#define VORN_METRIC_HAMMING 1u  /* substitutions only, equal lengths, 0 <= k <= 3 */

/*
 * vorn_index_hits() lists every reference within k of one query under the
 * given metric: the references a vorn_match record's hit_count counts for
 * the same query, metric and k.
 *
 *   query, query_len  the query (NULL only with length 0);
 *   metric, k         VORN_METRIC_EDIT with k >= 0, or VORN_METRIC_HAMMING
 *                     with 0 <= k <= 3;
 *   hits, capacity    caller-owned array of capacity entries (NULL when
 *                     capacity is 0);
 *   n_hits            receives the number of references within k.
 *
 * Returns 0 with *n_hits set and the first min(*n_hits, capacity) hits
 * written in ascending distance and, at equal distance, ascending
 * ref_index (so hits[0] is the record's best reference when there is one).
 * Returns -1, writing nothing, when index or n_hits is NULL, query is NULL
 * with a nonzero length, hits is NULL with a nonzero capacity, the metric is
 * unknown or k is out of its range.  Returns -2 when working memory could
 * not be had; *n_hits is then 0 and nothing else is written.
 * Safe on one index from many threads, like every lookup.
 */
VORN_API int32_t vorn_index_hits(const vorn_index *index, const uint8_t *query, size_t query_len,
                                 uint32_t metric, int32_t k, vorn_hit *hits, size_t capacity,
                                 size_t *n_hits) VORN_NOEXCEPT;

/* ------------------------------------------------------------------------
 * Deciding one read: distance rule or posterior over candidates
 * ------------------------------------------------------------------------ */

/*
 * vorn_rescue_params: how vorn_rescue_read() decides.  Fill it with
 * vorn_rescue_params_default() and change what differs.
 *
 *   metric, k           VORN_METRIC_EDIT (k >= 0) or VORN_METRIC_HAMMING
 *                       (0 <= k <= 3), as for vorn_index_hits();
 *   fixed_window        1: only the window_len bytes are compared; 0 (edit
 *                       metric only; ignored for Hamming): the window's end
 *                       may move by up to k bytes, so a one-base insertion or
 *                       deletion inside the barcode costs one edit (default 0);
 *   rescue              1: decide by posterior; 0: the distance rule, a
 *                       single reference at the best distance (default 1);
 *   min_exact           a reference is a candidate of the posterior only
 *                       when its exact count is at least this (default 1);
 *   prior_pseudocount   the prior of a candidate without exact reads, one
 *                       only with min_exact 0 (default 1); finite and >= 0;
 *   indel_weight        an inserted or deleted base costs the error
 *                       probability of the base next to it times this
 *                       (default 0.1); finite and >= 0 (0: no indels);
 *   min_posterior       the top candidate is assigned when its posterior is
 *                       at least this (default 0.975); 0 to 1;
 *   quality_offset      Phred offset of the quality bytes (default 33).
 *
 * The last five are read only when rescue is 1.
 */
typedef struct vorn_rescue_params {
    uint32_t metric;
    int32_t k;
    uint32_t fixed_window;
    uint32_t rescue;
    uint64_t min_exact;
    double prior_pseudocount;
    double indel_weight;
    double min_posterior;
    uint32_t quality_offset;
} vorn_rescue_params;

/*
 * vorn_rescue_result: the decision for one read.
 *
 *   status           VORN_STATUS_UNIQUE when the read is assigned to
 *                    ref_index; VORN_STATUS_AMBIGUOUS when references lie
 *                    within the bound but none is assigned; VORN_STATUS_NONE
 *                    when none does;
 *   ref_index        the assigned reference, UINT32_MAX when not assigned;
 *   distance         the assigned reference's distance when assigned (the
 *                    posterior may assign a reference farther than the best
 *                    one); otherwise the best distance within the bound,
 *                    UINT32_MAX when there is none;
 *   second_distance  when assigned: the least distance among the other
 *                    references within the bound, so equal to distance when
 *                    the model broke a tie and smaller when it passed over a
 *                    closer reference; when not assigned: the least distance
 *                    strictly greater than distance, as in vorn_match.
 *                    UINT32_MAX when there is none;
 *   hit_count        references within the bound (the *n_hits of the call);
 *   posterior        the top candidate's posterior, also when it was not
 *                    assigned; 0 when there is no candidate or when the
 *                    distance rule decided; 1 for an exact unique match
 *                    under the posterior.
 */
typedef struct vorn_rescue_result {
    uint32_t status;
    uint32_t ref_index;
    uint32_t distance;
    uint32_t second_distance;
    uint32_t hit_count;
    double posterior;
} vorn_rescue_result;

/* vorn_rescue_params_default() fills params with the defaults above, metric
 * VORN_METRIC_EDIT and k = 1.  NULL is ignored. */
VORN_API void vorn_rescue_params_default(vorn_rescue_params *params) VORN_NOEXCEPT;

/*
 * vorn_rescue_read() decides which reference of the index one read's barcode
 * belongs to.
 *
 *   read, quals, read_len  the read from the barcode's first base to the end
 *                          of the read, and its Phred quality bytes, one per
 *                          read byte (quals may be NULL: every base is then
 *                          taken at error probability 0.001);
 *   window_len             the barcode length; read_len may exceed it, so
 *                          that the window's end can move;
 *   exact_counts, n_counts the number of reads whose barcode matched each
 *                          reference exactly, indexed by reference position;
 *                          n_counts must be the index's reference count when
 *                          params->rescue is 1 (exact_counts may be NULL only
 *                          when n_counts is 0); both are ignored when
 *                          params->rescue is 0;
 *   params                 the decision's parameters (see above);
 *   hits, capacity, n_hits the references within the bound, as
 *                          vorn_index_hits() orders them (the distance of
 *                          each is the least over the windows tried): the
 *                          first min(*n_hits, capacity) are written.
 *
 * Windows.  The fixed window is the read's first min(window_len, read_len)
 * bytes; a read shorter than window_len is compared as it is, its missing
 * bases counting as deletions (so with the Hamming metric it meets only
 * references of its own length).  When that window matches exactly one
 * reference at distance 0 the read is assigned to it at once: only that
 * window's hits are listed, and the posterior is 1 under rescue (0 under the
 * distance rule), whatever the counts.  Otherwise, with the edit metric,
 * fixed_window 0 and k > 0, the windows are every read prefix of length
 * max(window_len - k, 0) to min(window_len + k, read_len) (just read_len
 * when the read is shorter than window_len - k), and a reference's distance
 * is the least edit distance over them.  Bytes compare literally (see the
 * alphabet policy): fold letter case before the call.
 *
 * Distance rule (rescue 0): UNIQUE with the single reference at the best
 * distance, AMBIGUOUS when two or more share it, NONE when nothing lies
 * within the bound; posterior 0.
 *
 * Posterior (rescue 1).  The candidates are the references within the bound
 * whose exact count is at least min_exact.  For each, with prior its exact
 * count, or prior_pseudocount when that count is 0 (a count is the abundance
 * observed; the pseudocount only keeps a reference never read exactly in
 * the running):
 *
 *     posterior(c) = prior(c) * L(read | c) / sum over candidates d of
 *                    prior(d) * L(read | d)
 *
 * where L is the likelihood of the most likely alignment of the reference
 * with a read prefix ending inside the windows above (the fixed window for
 * fixed_window 1 or Hamming), whose path keeps within k of the diagonal (no
 * indels for Hamming).  Along the alignment a base read as the reference's
 * contributes 1 - p, a substituted base p / 3, an inserted read base its own
 * p times indel_weight times 1/4 (its identity), and a deleted reference base
 * the larger p of the two read bases beside the gap times indel_weight.
 * Every candidate accounts for the same read bases: each base between the
 * alignment's end and the longest window's end belongs to what follows the
 * barcode and contributes 1/4.  p = 10^(-Q/10), Q the
 * quality byte minus quality_offset (0 for a byte below the offset), capped
 * at 0.75.  Sums run in log space; a candidate of zero prior or zero
 * likelihood is dropped.  The top candidate is assigned (UNIQUE) when its
 * posterior is at least min_posterior and no other candidate's score equals
 * it (within 1e-9 in log space: equal top posteriors never assign);
 * otherwise the read is AMBIGUOUS when anything lies within the bound, NONE
 * when nothing does.
 *
 * Returns 0 with *result, *n_hits and the hits written.  Returns -1, writing
 * nothing, when index, params, result or n_hits is NULL, read is NULL with a
 * nonzero read_len, hits is NULL with a nonzero capacity, the metric is
 * unknown or k is out of its range, fixed_window or rescue is not 0 or 1,
 * or, with rescue 1, a model parameter is out of its range or the counts do
 * not match the index.  Returns -2 when working memory could not be had:
 * *n_hits is then 0 and nothing else is written.
 *
 * Working memory lives on the stack while at most 64 references lie within
 * the bound, the search takes up at most 128, the windows end within the
 * read's first 63 bases and k is at most 19; beyond that it is allocated and
 * released within the call.
 * Reentrant; safe on one index from many threads.
 */
VORN_API int32_t vorn_rescue_read(const vorn_index *index, const uint8_t *read,
                                  const uint8_t *quals, size_t read_len, size_t window_len,
                                  const uint64_t *exact_counts, size_t n_counts,
                                  const vorn_rescue_params *params, vorn_hit *hits,
                                  size_t capacity, size_t *n_hits,
                                  vorn_rescue_result *result) VORN_NOEXCEPT;

/*
 * vorn_rescue_read_stats() is vorn_rescue_read() that also counts the work of
 * its search of the fixed window (the read's first min(window_len, read_len)
 * bytes), so that a caller who needs the read's decision and the window's
 * search counters searches the window once.
 *
 * Every argument, check, result and return value is that of
 * vorn_rescue_read() with the same arguments.  stats may be NULL.  When the
 * call returns 0 and stats is not NULL, *stats is set to the counters that
 * vorn_index_assign_stats() (VORN_METRIC_EDIT) or
 * vorn_index_assign_hamming_stats() (VORN_METRIC_HAMMING) reports for that
 * window alone as a single query with the same k (provided that call does
 * not run short of memory itself); the other windows are not counted.
 * When the call returns -1 or -2, *stats is left untouched.
 */
VORN_API int32_t vorn_rescue_read_stats(const vorn_index *index, const uint8_t *read,
                                        const uint8_t *quals, size_t read_len, size_t window_len,
                                        const uint64_t *exact_counts, size_t n_counts,
                                        const vorn_rescue_params *params, vorn_hit *hits,
                                        size_t capacity, size_t *n_hits,
                                        vorn_rescue_result *result,
                                        vorn_stats *stats) VORN_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_H */
