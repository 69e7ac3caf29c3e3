// Lines of the assignment table.
#include "table.h"

#include <cstdio>

#include "assign.h"
#include "decide.h"
#include "whitelist.h"

namespace velmora_pipeline {

const char table_header[] =
    "read\tobserved\tstatus\tassigned\tdistance\tsecond_distance\thits\tposterior\tcandidates\n";

namespace {

void append_u32(std::string &out, uint32_t v) {
    char buf[12];
    size_t i = sizeof buf;
    do {
        buf[--i] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    out.append(buf + i, sizeof buf - i);
}

void append_u32_or_dash(std::string &out, uint32_t v) {
    if (v == UINT32_MAX) out.push_back('-');
    else append_u32(out, v);
}

}  // namespace

void table_rows::clear() {
    arena.clear();
    name_off.clear();
    name_len.clear();
    window_off.clear();
    tail_len.clear();
}

void table_rows::add(std::string_view name, std::string_view tail, bool fits) {
    name_off.push_back(arena.size());
    name_len.push_back(name.size());
    arena.append(name);
    window_off.push_back(fits ? arena.size() : SIZE_MAX);
    tail_len.push_back(tail.size());
    arena.append(tail);
}

void format_rows(const table_rows &rows, const read_decision *decisions, const whitelist &wl, bool rescue,
                 std::string *out_ptr) {
    std::string &out = *out_ptr;
    out.reserve(out.size() + rows.size() * 72);
    const size_t window_len = static_cast<size_t>(rows.window_len);
    for (size_t i = 0; i < rows.size(); ++i) {
        const read_decision &d = decisions[i];
        const vorn_rescue_result &r = d.result;
        const bool fits = rows.window_off[i] != SIZE_MAX;
        out.append(rows.arena, rows.name_off[i], rows.name_len[i]);
        out.push_back('\t');
        if (!fits || window_len == 0) out.push_back('-');
        else out.append(rows.arena, rows.window_off[i], window_len);
        out.push_back('\t');
        if (r.status == VORN_STATUS_INVALID) {
            out += "invalid\t-\t-\t-\t-\t-\t-\n";
            continue;
        }
        if (d.exact) {
            // The entry is the window itself, already in cache.
            out += "unique\t";
            out.append(rows.arena, rows.window_off[i], window_len);
            out += "\t0\t";
            append_u32_or_dash(out, r.second_distance);
            out.push_back('\t');
            append_u32(out, r.hit_count);
            out += "\t-\t-\n";
            continue;
        }
        out += status_names[status_slot(r.status)];
        out.push_back('\t');
        if (r.status == VORN_STATUS_UNIQUE) out.append(wl.entry(r.ref_index));
        else out.push_back('-');
        out.push_back('\t');
        append_u32_or_dash(out, r.distance);
        out.push_back('\t');
        append_u32_or_dash(out, r.second_distance);
        out.push_back('\t');
        append_u32(out, r.hit_count);
        out.push_back('\t');
        if (rescue && r.hit_count > 0) {
            char p[32];
            std::snprintf(p, sizeof p, "%.6f", r.posterior);
            out += p;
        } else {
            out.push_back('-');
        }
        out.push_back('\t');
        if (d.listed == 0) out.push_back('-');
        for (uint32_t h = 0; h < d.listed; ++h) {
            if (h) out.push_back(',');
            out.append(wl.entry(d.candidates[h]));
        }
        out.push_back('\n');
    }
}

}  // namespace velmora_pipeline
