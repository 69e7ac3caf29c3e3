// The presence filter in front of the key table may say "present" for an
// absent key, never "absent" for a present one: every reference's own key
// passes, from lists whose keys all share one filter block up to lists of
// many blocks.  And it is worth its cache line: it rules out most absent keys.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "index/index_internal.h"
#include "test_util.h"

TEST(PresenceFilter, NeverRulesOutAKeyTheTableHolds) {
    std::mt19937_64 gen(velmora_test::test_seed());
    for (const size_t n : {1, 2, 7, 64, 1000, 20000}) {
        std::vector<std::string> refs;
        for (size_t i = 0; i < n; ++i) {
            std::string s(1 + gen() % 32, 'A');
            for (char &c : s) c = "ACGT"[gen() % 4];
            refs.push_back(s);
        }
        const velmora_test::built_index ix(refs);
        ASSERT_NE(ix.index, nullptr);
        for (const std::string &s : refs) {
            uint64_t code = 0;
            ASSERT_TRUE(velmora::dna2_code(reinterpret_cast<const uint8_t *>(s.data()), s.size(), &code));
            EXPECT_TRUE(velmora::index_filter_may_hold(ix.index, velmora::index_key_hash(code, s.size()), s.size()))
                << s << " in a list of " << n;
        }
        if (n < 1000) continue;
        size_t passed = 0;
        const size_t tries = 10000;
        for (size_t i = 0; i < tries; ++i) {
            // A random 32-base key: one the list holds would be a rare accident.
            const uint64_t code = gen();
            passed += velmora::index_filter_may_hold_hash(ix.index, velmora::index_key_hash(code, 32));
        }
        EXPECT_LT(passed, tries / 10) << "absent keys let through in a list of " << n;
    }
}
