#include "qqplot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr double width = 720, height = 640, left = 80, right = 200, top = 56, bottom = 64;
constexpr double plotWidth = width - left - right, plotHeight = height - top - bottom;
const char* const colours[] = {"#d62728", "#1f77b4", "#555555"};

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

std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
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

std::string axes(const Scale& s) {
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
           "expected \xe2\x88\x92log10(p)</text>\n";
    svg +=
        format("<text transform=\"translate(%.1f %.1f) rotate(-90)\" ", 24, top + plotHeight / 2) +
        "text-anchor=\"middle\">observed \xe2\x88\x92log10(p)</text>\n";
    return svg;
}

// One series: a line through its cells beyond the points, then the
// points. Positions closer than half a pixel to the last one are dropped.
std::string drawSeries(const QQSeries& series, const Scale& s, const char* colour) {
    const double n = static_cast<double>(series.n);
    auto expected = [&](double rank) { return minusLog((rank - 0.5) / n); };
    std::string line, points;
    double lastX = -1, lastY = -1;
    auto add = [&](std::string& out, double x, double y, bool point) {
        const double px = s.x(x), py = s.y(std::min(y, s.maxY));
        if (std::fabs(px - lastX) < 0.5 && std::fabs(py - lastY) < 0.5) return;
        lastX = px, lastY = py;
        out += point ? format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\"/>", px, py)
                     : format("%.1f,%.1f ", px, py);
    };
    const uint64_t drawn = series.lowest.size();
    uint64_t below = 0;
    for (const Cell& c : series.cells) {
        const uint64_t first = below + 1, last = below + c.count;
        below = last;
        if (last <= drawn) continue;
        add(line, expected(static_cast<double>(std::max(first, drawn + 1))), minusLog(c.lo), false);
        add(line, expected(static_cast<double>(last)), minusLog(c.hi), false);
    }
    lastX = lastY = -1;
    for (size_t i = 0; i < drawn; ++i)
        add(points, expected(static_cast<double>(i + 1)), minusLog(series.lowest[i]), true);
    std::string svg = std::string("<g stroke=\"") + colour + "\" fill=\"" + colour + "\">\n";
    if (!line.empty())
        svg += "<polyline fill=\"none\" stroke-width=\"1.5\" points=\"" + line + "\"/>\n";
    svg += "<g fill-opacity=\"0.7\" stroke=\"none\">" + points + "</g>\n</g>\n";
    return svg;
}

}  // namespace

std::string qqPlotSvg(const std::vector<QQSeries>& series, const char* method, double cutoff) {
    double maxX = 1, maxY = 1;
    for (const QQSeries& q : series) {
        if (q.n == 0) continue;
        maxX = std::max(maxX, minusLog(0.5 / static_cast<double>(q.n)));
        maxY = std::max(maxY, minusLog(q.lowest.front()));
    }
    const bool showCutoff = cutoff > 0 && std::isfinite(cutoff);
    if (showCutoff) maxY = std::max(maxY, minusLog(cutoff));
    const Scale s{std::ceil(maxX), std::ceil(std::max(maxX, maxY))};
    const QQSeries& all = series.back();
    std::string svg =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" " +
        format("width=\"%g\" height=\"%g\" viewBox=\"0 0 %g ", width, height, width) +
        format("%g\" font-family=\"sans-serif\" font-size=\"12\">\n", height) +
        "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
    svg += "<text x=\"" + format("%.1f", left + plotWidth / 2) +
           "\" y=\"28\" text-anchor=\"middle\" font-size=\"15\">QQ plot (" + method +
           format("): n = %.0f, \xce\xbb = ", static_cast<double>(all.n)) + lambdaText(all.lambda) +
           "</text>\n";
    svg += axes(s);
    const double diagonal = std::min(s.maxX, s.maxY);
    svg += format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" ", s.x(0), s.y(0), s.x(diagonal)) +
           format("y2=\"%.1f\" stroke=\"#999\"/>\n", s.y(diagonal));
    if (showCutoff) {
        const double y = s.y(minusLog(cutoff));
        svg +=
            format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" ", left, y, left + plotWidth) +
            format("y2=\"%.1f\" stroke=\"#2ca02c\" stroke-dasharray=\"6 4\"/>\n", y) +
            format("<text x=\"%.1f\" y=\"%.1f\" fill=\"#2ca02c\">", left + plotWidth + 6, y + 4) +
            format("cutoff %.3g</text>\n", cutoff);
    }
    for (size_t i = 0; i < series.size(); ++i) {
        if (series[i].n == 0) continue;
        svg += drawSeries(series[i], s, colours[i % 3]);
    }
    for (size_t i = 0; i < series.size(); ++i) {
        const double y = top + 40 + 36 * static_cast<double>(i);
        svg +=
            format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4\" ", left + plotWidth + 14, y - 4) +
            "fill=\"" + colours[i % 3] + "\"/>" +
            format("<text x=\"%.1f\" y=\"%.1f\">", left + plotWidth + 24, y) +
            escaped(series[i].name) + "</text>" +
            format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"10\">", left + plotWidth + 24, y + 14) +
            format("n = %.0f, \xce\xbb = ", static_cast<double>(series[i].n)) +
            lambdaText(series[i].lambda) + "</text>\n";
    }
    return svg + "</svg>\n";
}
