#include "qqplot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "text.h"

namespace {

constexpr double width = 720, height = 640, left = 80, right = 40, top = 56, bottom = 64;
constexpr double plotWidth = width - left - right, plotHeight = height - top - bottom;
const char* const colours[] = {"#d62728", "#1f77b4", "#555555"};  // case, control, the rest

// -log10 p, for p <= 0 the largest a double can show.
double minusLog(double p) {
    if (!(p > 0)) return 324;
    return std::max(0.0, -std::log10(p));
}

std::string format(const char* fmt, double a, double b = 0, double c = 0) {
    char text[128];
    std::snprintf(text, sizeof text, fmt, a, b, c);
    return text;
}

// Lambda as the report writes it: NA when there is none.
std::string lambdaText(double lambda) {
    return lambda == lambda ? format("%.4f", lambda) : "NA";
}

// The start of a plot: the SVG element and a white background.
std::string start() {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" " +
           format("width=\"%g\" height=\"%g\" viewBox=\"0 0 %g ", width, height, width) +
           format("%g\" font-family=\"sans-serif\" font-size=\"12\">\n", height) +
           "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
}

// A step of 1, 2 or 5 times a power of ten giving at most 8 ticks to `top`.
double tickStep(double top) {
    double step = std::pow(10, std::floor(std::log10(top / 8)));
    for (const double m : {1.0, 2.0, 5.0, 10.0})
        if (top / (step * m) <= 8) return step * m;
    return step * 10;
}

struct Scale {
    double maxX, maxY;
    double x(double v) const { return left + v / maxX * plotWidth; }
    double y(double v) const { return top + plotHeight - v / maxY * plotHeight; }
};

std::string axes(const Scale& s, const char* xLabel, const char* yLabel) {
    std::string svg;
    svg += format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" ", left, top, plotWidth) +
           format("height=\"%.1f\" fill=\"none\" stroke=\"#000\"/>\n", plotHeight);
    for (int axis = 0; axis < 2; ++axis) {
        const double max = axis ? s.maxY : s.maxX, step = tickStep(max);
        for (double v = 0; v <= max + step * 1e-9; v += step) {
            if (axis) {
                svg +=
                    format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" ", left - 5, s.y(v), left) +
                    format("y2=\"%.1f\" stroke=\"#000\"/>", s.y(v));
                svg += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n",
                              left - 8, s.y(v) + 4, v);
            } else {
                svg += format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" ", s.x(v),
                              top + plotHeight, s.x(v)) +
                       format("y2=\"%.1f\" stroke=\"#000\"/>", top + plotHeight + 5);
                svg += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%g</text>\n",
                              s.x(v), top + plotHeight + 20, v);
            }
        }
    }
    svg += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">", left + plotWidth / 2,
                  height - 16) +
           xLabel + "</text>\n";
    svg +=
        format("<text transform=\"translate(%.1f %.1f) rotate(-90)\" ", 24, top + plotHeight / 2) +
        "text-anchor=\"middle\">" + yLabel + "</text>\n";
    return svg;
}

// A file's base name as the legend shows it: at most 40 characters, the
// middle of a longer one left out.
std::string legendName(const std::string& path) {
    const std::string base = path.substr(path.rfind('/') + 1);  // npos + 1 is 0
    if (base.size() <= 40) return base;
    return base.substr(0, 18) + "\xe2\x80\xa6" + base.substr(base.size() - 21);
}

// The family: a line through its cells beyond the points, then the points
// in the colour of their input. Positions closer than half a pixel to the
// last one are dropped. p-values of 0 are drawn as squares on the top edge.
std::string drawFamily(const QQFamily& family, const Scale& s, double total) {
    auto expected = [&](double rank) { return minusLog((rank - 0.5) / total); };
    std::string line, points[2];
    double lastX = -1, lastY = -1;
    auto add = [&](std::string& out, double x, double y, bool point) {
        const double px = s.x(x), py = s.y(std::min(y, s.maxY));
        if (std::fabs(px - lastX) < 0.5 && std::fabs(py - lastY) < 0.5) return;
        lastX = px, lastY = py;
        out += point ? format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\"/>", px, py)
                     : format("%.1f,%.1f ", px, py);
    };
    const uint64_t drawn = family.lowest.size();
    uint64_t below = 0;
    for (const Cell& c : family.cells) {
        const uint64_t first = below + 1, last = below + c.count;
        below = last;
        if (last <= drawn) continue;
        add(line, expected(static_cast<double>(std::max(first, drawn + 1))), minusLog(c.lo), false);
        add(line, expected(static_cast<double>(last)), minusLog(c.hi), false);
    }
    std::string svg;
    if (!line.empty())
        svg += std::string("<polyline fill=\"none\" stroke=\"") + colours[2] +
               "\" stroke-width=\"1.5\" points=\"" + line + "\"/>\n";
    double lastZero[2] = {-1, -1};
    lastX = lastY = -1;
    for (size_t i = 0; i < drawn; ++i) {
        const auto [p, input] = family.lowest[i];
        const double x = expected(static_cast<double>(i + 1));
        if (p == 0) {
            if (std::fabs(s.x(x) - lastZero[input]) < 0.5) continue;
            lastZero[input] = s.x(x);
            points[input] += format("<rect x=\"%.1f\" y=\"%.1f\" width=\"5\" height=\"5\"/>",
                                    lastZero[input] - 2.5, top - 2.5);
            continue;
        }
        add(points[input], x, minusLog(p), true);
    }
    for (int input = 0; input < 2; ++input)
        if (!points[input].empty())
            svg += std::string("<g fill=\"") + colours[input] +
                   "\" fill-opacity=\"0.7\" stroke=\"none\">" + points[input] + "</g>\n";
    return svg;
}

}  // namespace

std::string qqPlotSvg(const QQFamily& family, const char* method, double cutoff, int64_t total) {
    const double N = static_cast<double>(total);
    double maxX = minusLog(0.5 / N), maxY = 1;
    // The smallest positive p-value sets the top: zeros go on the edge.
    for (const auto& [p, input] : family.lowest)
        if (p > 0) {
            maxY = std::max(maxY, minusLog(p));
            break;
        }
    const bool showCutoff = cutoff > 0 && std::isfinite(cutoff);
    if (showCutoff) maxY = std::max(maxY, minusLog(cutoff));
    const Scale s{std::ceil(maxX), std::ceil(std::max(maxX, maxY))};
    std::string svg =
        start() + "<text x=\"" + format("%.1f", left + plotWidth / 2) +
        "\" y=\"28\" text-anchor=\"middle\" font-size=\"15\">QQ plot (" + method +
        format("): n = %.0f of N = %.0f, \xce\xbb = ", static_cast<double>(family.n), N) +
        lambdaText(family.lambda) + "</text>\n";
    svg += axes(s, "expected \xe2\x88\x92log10(p)", "observed \xe2\x88\x92log10(p)");
    const double diagonal = std::min(s.maxX, s.maxY);
    svg += format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" ", s.x(0), s.y(0), s.x(diagonal)) +
           format("y2=\"%.1f\" stroke=\"#999\"/>\n", s.y(diagonal));
    if (showCutoff) {
        const double y = s.y(minusLog(cutoff));
        svg +=
            format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" ", left, y, left + plotWidth) +
            format("y2=\"%.1f\" stroke=\"#2ca02c\" stroke-dasharray=\"6 4\"/>\n", y) +
            format("<text x=\"%.1f\" y=\"%.1f\" fill=\"#2ca02c\" ", left + plotWidth - 4, y - 5) +
            format("text-anchor=\"end\">cutoff %.3g</text>\n", cutoff);
    }
    if (family.n) svg += drawFamily(family, s, N);
    // The legend, in the plot's top left corner, where a QQ plot has no
    // point: each input's group and file name, and its zeros.
    const char* const groups[2] = {"case", "control"};
    std::string legend;
    double legendWidth = 0;
    for (int i = 0; i < 2; ++i) {
        const double y = top + 22 + 20 * static_cast<double>(i);
        const std::string name = legendName(family.names[i]);
        std::string text = std::string(groups[i]) + ": " + xmlText(name);
        if (family.zeros[i]) text += format(", %.0f at 0", static_cast<double>(family.zeros[i]));
        legendWidth = std::max(
            legendWidth, 30 + 7.0 * static_cast<double>(std::string(groups[i]).size() + 2 +
                                                        name.size() + (family.zeros[i] ? 12 : 0)));
        legend += format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4\" ", left + 16, y - 4) + "fill=\"" +
                  colours[i] + "\"/>" + format("<text x=\"%.1f\" y=\"%.1f\">", left + 26, y) +
                  text + "</text>\n";
    }
    svg += format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"48\" ", left + 6, top + 6,
                  std::min(legendWidth, plotWidth - 12)) +
           "fill=\"#fff\" fill-opacity=\"0.85\" stroke=\"#ccc\"/>\n" + legend;
    return svg + "</svg>\n";
}

std::string histogramSvg(const std::array<uint64_t, 20>& bins, uint64_t n, double pi0,
                         const char* method) {
    // Densities: a bin's share of the p-values over its width.
    double density[20], maxY = 1;
    for (int b = 0; b < 20; ++b) {
        density[b] = n ? static_cast<double>(bins[b]) / static_cast<double>(n) / 0.05 : 0;
        maxY = std::max(maxY, density[b]);
    }
    if (pi0 == pi0) maxY = std::max(maxY, pi0);
    const Scale s{1, std::ceil(maxY * 1.1 * 10) / 10};
    std::string svg = start() + "<text x=\"" + format("%.1f", left + plotWidth / 2) +
                      "\" y=\"28\" text-anchor=\"middle\" font-size=\"15\">p-value histogram (" +
                      method +
                      format(
                          "): n = %.0f, \xcf\x80"
                          "0 = ",
                          static_cast<double>(n)) +
                      (pi0 == pi0 ? format("%.4g", pi0) : "NA") + "</text>\n";
    svg += "<g fill=\"" + std::string(colours[1]) + "\" fill-opacity=\"0.8\" stroke=\"#fff\">";
    for (int b = 0; b < 20; ++b)
        svg += format("<rect x=\"%.1f\" y=\"%.1f\" ", s.x(0.05 * b), s.y(density[b])) +
               format("width=\"%.1f\" height=\"%.1f\"/>", s.x(0.05) - s.x(0),
                      s.y(0) - s.y(density[b]));
    svg += "</g>\n" + axes(s, "p-value", "density");
    if (pi0 == pi0) {
        const double y = s.y(pi0);
        svg +=
            format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" ", left, y, left + plotWidth) +
            format("y2=\"%.1f\" stroke=\"#d62728\" stroke-dasharray=\"6 4\"/>\n", y) +
            format("<text x=\"%.1f\" y=\"%.1f\" fill=\"#d62728\">", left + plotWidth + 6, y + 4) +
            format(
                "\xcf\x80"
                "0 = %.4g</text>\n",
                pi0);
    }
    return svg + "</svg>\n";
}
