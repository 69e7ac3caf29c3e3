// UMIs grouped within a cell: written-out cases per branch of the rule, and
// random cells against the rule applied by comparing every pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "umi.h"

namespace {

using velmora_pipeline::umi_code;
using velmora_pipeline::umi_count;
using velmora_pipeline::umi_directional;

// The UMI of length bases that code holds.
void umi_bases(uint64_t code, size_t length, char *out) {
    for (size_t i = length; i-- > 0; code >>= 2) out[i] = "ACGT"[code & 3];
}

// UMI -> the UMI it is corrected to, through umi_directional.
std::map<std::string, std::string> grouped(const std::map<std::string, uint64_t> &cell) {
    std::vector<umi_count> umis;
    size_t length = 0;
    for (const auto &[umi, reads] : cell) {
        uint64_t code = 0;
        EXPECT_TRUE(umi_code(umi, &code)) << umi;
        umis.push_back({code, reads});
        length = umi.size();
    }
    std::sort(umis.begin(), umis.end(), [](const umi_count &a, const umi_count &b) { return a.code < b.code; });
    std::vector<uint32_t> root(umis.size());
    umi_directional(umis.data(), umis.size(), length, root.data());
    std::map<std::string, std::string> out;
    for (size_t i = 0; i < umis.size(); ++i) {
        std::string from(length, '?'), to(length, '?');
        umi_bases(umis[i].code, length, from.data());
        umi_bases(umis[root[i]].code, length, to.data());
        out[from] = to;
    }
    return out;
}

// The rule from its definition: every pair compared, groups grown from the
// most reads down (ties: the smaller UMI, which for ACGT is the smaller code).
std::map<std::string, std::string> by_definition(const std::map<std::string, uint64_t> &cell) {
    std::vector<std::pair<std::string, uint64_t>> order(cell.begin(), cell.end());
    std::stable_sort(order.begin(), order.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
    const auto one_apart = [](const std::string &a, const std::string &b) {
        size_t d = 0;
        for (size_t i = 0; i < a.size(); ++i) d += a[i] != b[i];
        return d == 1;
    };
    std::map<std::string, std::string> out;
    for (const auto &[r, reads] : order) {
        if (out.count(r)) continue;
        out[r] = r;
        std::vector<std::string> queue{r};
        for (size_t head = 0; head < queue.size(); ++head) {
            const std::string u = queue[head];
            for (const auto &[v, v_reads] : order)
                if (!out.count(v) && one_apart(u, v) && cell.at(u) >= 2 * v_reads - 1) {
                    out[v] = r;
                    queue.push_back(v);
                }
        }
    }
    return out;
}

struct grouping_case {
    const char *name;
    std::map<std::string, uint64_t> cell;
    std::map<std::string, std::string> want;
};

TEST(UmiDirectional, EachBranchOfTheRule) {
    const grouping_case cases[] = {
        {"a chain absorbed through its middle", {{"AAAA", 10}, {"AAAC", 5}, {"AACC", 3}},
         {{"AAAA", "AAAA"}, {"AAAC", "AAAA"}, {"AACC", "AAAA"}}},
        {"the chain stops where 2n - 1 is not reached", {{"AAAA", 10}, {"AAAC", 5}, {"AACC", 4}},
         {{"AAAA", "AAAA"}, {"AAAC", "AAAA"}, {"AACC", "AACC"}}},
        {"exactly 2n - 1 absorbs", {{"ACGT", 9}, {"ACGA", 5}}, {{"ACGT", "ACGT"}, {"ACGA", "ACGT"}}},
        {"one read short of it does not", {{"ACGT", 9}, {"ACGA", 6}}, {{"ACGT", "ACGT"}, {"ACGA", "ACGA"}}},
        {"two singletons: the smaller absorbs", {{"TTTT", 1}, {"TTTG", 1}}, {{"TTTT", "TTTG"}, {"TTTG", "TTTG"}}},
        {"equal counts above one stay apart", {{"CCCC", 3}, {"CCCA", 3}}, {{"CCCC", "CCCC"}, {"CCCA", "CCCA"}}},
        {"two parents: the larger takes it", {{"AAAA", 10}, {"AACA", 2}, {"AACC", 8}},
         {{"AAAA", "AAAA"}, {"AACA", "AAAA"}, {"AACC", "AACC"}}},
        {"two apart is no neighbour", {{"GGGG", 50}, {"GGTT", 1}}, {{"GGGG", "GGGG"}, {"GGTT", "GGTT"}}},
        {"a base of length one", {{"A", 5}, {"C", 1}, {"G", 3}}, {{"A", "A"}, {"C", "A"}, {"G", "A"}}},
    };
    for (const grouping_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(grouped(c.cell), c.want);
        EXPECT_EQ(by_definition(c.cell), c.want);
    }
}

TEST(UmiDirectional, RandomCellsAsByDefinition) {
    std::mt19937_64 rng(20261208);
    for (const size_t length : {1, 2, 5, 10, 12, 16, 31, 32}) {
        for (int round = 0; round < 40; ++round) {
            // A few molecules, each read a few times, with one-substitution
            // copies (and copies of copies) at fewer reads.
            std::map<std::string, uint64_t> cell;
            const auto random_umi = [&] {
                std::string u(length, 'A');
                for (char &b : u) b = "ACGT"[rng() % 4];
                return u;
            };
            std::string last = random_umi();
            // Every fourth cell large enough for the hash table.
            const int molecules = round % 4 == 3 ? 60 + static_cast<int>(rng() % 100) : 1 + static_cast<int>(rng() % 12);
            for (int m = 0; m < molecules; ++m) {
                std::string u = rng() % 3 == 0 ? last : random_umi();
                for (int e = 0, errors = static_cast<int>(rng() % 4); e < errors; ++e)
                    u[rng() % length] = "ACGT"[rng() % 4];
                cell[u] += 1 + rng() % (rng() % 2 ? 3 : 40);
                last = u;
            }
            SCOPED_TRACE(length);
            ASSERT_EQ(grouped(cell), by_definition(cell));
        }
    }
}

// The run's pairs against a map: repeats counted, the table grown many
// times; grouped, each pair's correction is its cell's grouping's.
TEST(UmiPairs, EveryPairGroupedWithinItsCell) {
    for (const bool correct : {false, true}) {
        std::mt19937_64 rng(7);
        std::map<uint32_t, std::map<uint64_t, uint64_t>> want;
        velmora_pipeline::umi_pairs pairs;
        for (int i = 0; i < 20000; ++i) {
            // Few cells, 4-base UMIs so that pairs repeat and neighbour.
            const uint32_t cell = static_cast<uint32_t>(rng() % 50) * 3u;
            const uint64_t code = rng() % 200 % 256;
            pairs.add(cell, code);
            ++want[cell][code];
        }
        size_t distinct = 0;
        for (const auto &[cell, umis] : want) distinct += umis.size();
        EXPECT_EQ(pairs.size(), distinct);
        EXPECT_GE(pairs.bytes() * 3, pairs.size() * 16 * 4);  // at most three quarters full
        std::vector<uint64_t> molecules;
        pairs.group(4, correct, &molecules);
        EXPECT_EQ(molecules.size(), size_t{want.rbegin()->first} + 1);
        for (const auto &[cell, umis] : want) {
            std::vector<umi_count> list;
            for (const auto &[code, reads] : umis) list.push_back({code, reads});
            std::vector<uint32_t> root(list.size());
            umi_directional(list.data(), list.size(), 4, root.data());
            uint64_t groups = 0;
            for (size_t i = 0; i < list.size(); ++i) {
                const uint64_t to = correct ? list[root[i]].code : list[i].code;
                ASSERT_EQ(pairs.corrected(cell, list[i].code), to);
                groups += correct ? root[i] == i : 1;
            }
            EXPECT_EQ(molecules[cell], groups);
            EXPECT_EQ(pairs.corrected(cell, 999), 999u);  // never added
        }
        EXPECT_EQ(molecules[1], 0u);
        EXPECT_EQ(pairs.corrected(1000, 5), 5u);
    }
}

TEST(UmiCode, OnlyShortAcgtUmisHaveACode) {
    uint64_t code = 0;
    ASSERT_TRUE(umi_code("acgT", &code));
    EXPECT_EQ(code, 0x1bu);
    char back[4];
    umi_bases(code, 4, back);
    EXPECT_EQ(std::string(back, 4), "ACGT");
    ASSERT_TRUE(umi_code(std::string(32, 'T'), &code));
    EXPECT_EQ(code, UINT64_MAX);
    for (const std::string &bad : {std::string("ACNT"), std::string("AC-T"), std::string(33, 'A')}) EXPECT_FALSE(umi_code(bad, &code)) << bad;
}

}  // namespace
