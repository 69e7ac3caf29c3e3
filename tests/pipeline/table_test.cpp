// The table's lines, one per decision shape, with numbers of several digits.
#include <gtest/gtest.h>

#include <string>

#include "base.h"
#include "decide.h"
#include "table.h"
#include "whitelist.h"

namespace {

using namespace velmora_pipeline;

TEST(TableRows, EachDecisionShape) {
    whitelist wl;
    wl.bytes = "ACGTACGTTTTTGGGG";
    wl.offsets = {0, 8, 16};
    table_rows rows;
    rows.window_len = 8;
    const char *names[] = {"exact", "rescued", "ambiguous", "invalid"};
    for (const char *name : names) rows.add(name, name[0] == 'i' ? "" : "ACGTACGA", name[0] != 'i');
    read_decision d[4];
    d[0].exact = true;
    d[0].result = {VORN_STATUS_UNIQUE, 0, 0, 10, 123, 0};
    d[1].result = {VORN_STATUS_UNIQUE, 1, 1, UINT32_MAX, 1, 0.5};
    d[1].listed = 1;
    d[1].candidates[0] = 1;
    d[2].result = {VORN_STATUS_AMBIGUOUS, UINT32_MAX, 2, 2, 4294967294u, 0.25};
    d[2].listed = 2;
    d[2].candidates[0] = 1;
    d[2].candidates[1] = 0;
    d[3].result = {VORN_STATUS_INVALID, UINT32_MAX, UINT32_MAX, UINT32_MAX, 0, 0};
    std::string out;
    format_rows(rows, d, wl, true, &out);
    EXPECT_EQ(out,
              "exact\tACGTACGA\tunique\tACGTACGA\t0\t10\t123\t-\t-\n"
              "rescued\tACGTACGA\tunique\tTTTTGGGG\t1\t-\t1\t0.500000\tTTTTGGGG\n"
              "ambiguous\tACGTACGA\tambiguous\t-\t2\t2\t4294967294\t0.250000\tTTTTGGGG,ACGTACGT\n"
              "invalid\t-\tinvalid\t-\t-\t-\t-\t-\t-\n");

    // Held between passes, the decisions give the same lines; cut short,
    // they are refused.
    d[3].result.posterior = 1.0;
    std::string held, again;
    pack_decisions(d, 4, &held);
    read_decision back[4];
    EXPECT_TRUE(unpack_decisions(held + "x", back, 4) == "x");
    format_rows(rows, d, wl, true, &out);
    format_rows(rows, back, wl, true, &again);
    EXPECT_EQ(again, out.substr(out.size() / 2));
    for (size_t cut = 0; cut < held.size(); ++cut)
        EXPECT_THROW(unpack_decisions(std::string_view(held).substr(0, cut), back, 4), data_error) << cut;
}

}  // namespace
