// Knee plot points and the SVG drawn by hand (no plotting dependency).
#include "knee.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace velmora_pipeline {

std::vector<knee_point> knee_points(const std::vector<uint64_t> &sorted_desc, size_t max_points) {
    size_t n = 0;
    while (n < sorted_desc.size() && sorted_desc[n] > 0) ++n;
    std::vector<knee_point> out;
    if (n == 0) return out;
    const double span = std::log10(static_cast<double>(n));
    const double steps = static_cast<double>(std::max<size_t>(max_points, 2) - 1);
    uint64_t last = 0;
    for (size_t i = 0; i <= static_cast<size_t>(steps); ++i) {
        uint64_t rank = static_cast<uint64_t>(std::llround(std::pow(10.0, span * static_cast<double>(i) / steps)));
        rank = std::clamp<uint64_t>(rank, 1, n);
        if (rank <= last) continue;
        out.push_back({rank, sorted_desc[rank - 1]});
        last = rank;
    }
    if (last != n) out.push_back({n, sorted_desc[n - 1]});
    return out;
}

namespace {

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string escape_xml(const std::string &s) {
    std::string out;
    for (const char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::string decade_label(int e) {
    static const char *const names[] = {"1", "10", "100", "1k", "10k", "100k", "1M", "10M", "100M", "1G"};
    if (e >= 0 && e < 10) return names[e];
    return "1e" + std::to_string(e);
}

}  // namespace

std::string knee_svg(const std::vector<knee_point> &points, const std::string &title, uint64_t threshold) {
    const double width = 640, height = 440, left = 70, right = 20, top = 40, bottom = 60;
    const double pw = width - left - right, ph = height - top - bottom;
    uint64_t max_rank = 1, max_reads = 1;
    for (const knee_point &p : points) {
        max_rank = std::max(max_rank, p.rank);
        max_reads = std::max(max_reads, p.reads);
    }
    // Whole decades on both axes, at least one.
    const int xdec = std::max(1, static_cast<int>(std::ceil(std::log10(static_cast<double>(max_rank)) - 1e-9)));
    const int ydec = std::max(1, static_cast<int>(std::ceil(std::log10(static_cast<double>(max_reads)) - 1e-9)));
    auto x = [&](double rank) { return left + pw * std::log10(rank) / xdec; };
    auto y = [&](double reads) { return top + ph * (1 - std::log10(reads) / ydec); };

    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width) + "\" height=\"" + num(height) +
         "\" viewBox=\"0 0 " + num(width) + " " + num(height) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += "<text x=\"" + num(width / 2) + "\" y=\"22\" text-anchor=\"middle\" font-size=\"14\">" + escape_xml(title) +
         "</text>\n";
    s += "<g stroke=\"#ddd\" stroke-width=\"1\">\n";
    for (int e = 0; e <= xdec; ++e) {
        const double gx = x(std::pow(10.0, e));
        s += "<line x1=\"" + num(gx) + "\" y1=\"" + num(top) + "\" x2=\"" + num(gx) + "\" y2=\"" + num(top + ph) + "\"/>\n";
    }
    for (int e = 0; e <= ydec; ++e) {
        const double gy = y(std::pow(10.0, e));
        s += "<line x1=\"" + num(left) + "\" y1=\"" + num(gy) + "\" x2=\"" + num(left + pw) + "\" y2=\"" + num(gy) + "\"/>\n";
    }
    s += "</g>\n<g text-anchor=\"middle\">\n";
    for (int e = 0; e <= xdec; ++e)
        s += "<text x=\"" + num(x(std::pow(10.0, e))) + "\" y=\"" + num(top + ph + 18) + "\">" + decade_label(e) + "</text>\n";
    s += "</g>\n<g text-anchor=\"end\">\n";
    for (int e = 0; e <= ydec; ++e)
        s += "<text x=\"" + num(left - 6) + "\" y=\"" + num(y(std::pow(10.0, e)) + 4) + "\">" + decade_label(e) + "</text>\n";
    s += "</g>\n";
    s += "<rect x=\"" + num(left) + "\" y=\"" + num(top) + "\" width=\"" + num(pw) + "\" height=\"" + num(ph) +
         "\" fill=\"none\" stroke=\"black\"/>\n";
    s += "<text x=\"" + num(left + pw / 2) + "\" y=\"" + num(height - 16) +
         "\" text-anchor=\"middle\">barcode rank (by reads)</text>\n";
    s += "<text transform=\"translate(18 " + num(top + ph / 2) +
         ") rotate(-90)\" text-anchor=\"middle\">reads per barcode</text>\n";
    if (!points.empty()) {
        // A series on the log axes; a point with no reads of its kind is
        // left out (log 0), cutting the line there.
        auto series = [&](uint64_t knee_point::*field, const char *colour, const char *extra) {
            std::string pts;
            for (const knee_point &p : points) {
                if (p.*field == 0) continue;
                if (!pts.empty()) pts.push_back(' ');
                pts += num(x(static_cast<double>(p.rank))) + "," + num(y(static_cast<double>(p.*field)));
            }
            if (pts.empty()) return;
            s += std::string("<polyline fill=\"none\" stroke=\"") + colour + "\" " + extra + " points=\"" + pts +
                 "\"/>\n";
        };
        series(&knee_point::exact, "#7a9a3a", "stroke-width=\"1.5\"");
        series(&knee_point::rescued, "#c0504d", "stroke-width=\"1.5\"");
        series(&knee_point::reads, "#1f5fa8", "stroke-width=\"2\"");
        std::string legend = "<g font-size=\"11\">\n";
        const double lx = left + pw - 150;
        const char *const names[] = {"all reads", "exact", "rescued"};
        const char *const colours[] = {"#1f5fa8", "#7a9a3a", "#c0504d"};
        for (int i = 0; i < 3; ++i) {
            const double ly = top + 14 + 15 * i;
            legend += "<line x1=\"" + num(lx) + "\" y1=\"" + num(ly - 4) + "\" x2=\"" + num(lx + 20) + "\" y2=\"" +
                      num(ly - 4) + "\" stroke=\"" + colours[i] + "\" stroke-width=\"2\"/>\n";
            legend += "<text x=\"" + num(lx + 26) + "\" y=\"" + num(ly) + "\">" + names[i] + "</text>\n";
        }
        if (threshold > 0 && threshold <= max_reads) {
            const double ty = y(static_cast<double>(threshold));
            s += "<line x1=\"" + num(left) + "\" y1=\"" + num(ty) + "\" x2=\"" + num(left + pw) + "\" y2=\"" +
                 num(ty) + "\" stroke=\"#555\" stroke-dasharray=\"6 4\"/>\n";
            s += "<text x=\"" + num(left + 6) + "\" y=\"" + num(ty - 5) + "\" font-size=\"11\">cells: " +
                 std::to_string(threshold) + " reads or more</text>\n";
        }
        s += legend + "</g>\n";
    } else {
        s += "<text x=\"" + num(left + pw / 2) + "\" y=\"" + num(top + ph / 2) +
             "\" text-anchor=\"middle\">no barcode has reads</text>\n";
    }
    s += "</svg>\n";
    return s;
}

}  // namespace velmora_pipeline
