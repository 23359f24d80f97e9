// SVG primitives; see svg.h.
#include "report/svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "format/text.h"
#include "format/xml.h"

namespace report {

namespace {

std::string px(double v) {
    char b[32];
    snprintf(b, sizeof b, "%.1f", std::fabs(v) < 0.05 ? 0.0 : v);
    return b;
}

}  // namespace

std::string escape(const std::string &s) {
    std::string o;
    o.reserve(s.size());
    format::xmlText(&o, s);
    return o;
}

std::string exact(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
    return format::number(v);
}

std::string shown(double v, int digits) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "\xE2\x88\x9E" : "-\xE2\x88\x9E";
    char b[64];
    double a = std::fabs(v);
    if (a != 0 && (a >= 1e9 || a < 1e-4))
        snprintf(b, sizeof b, "%.*g", digits, v);
    else {
        // Fixed notation with `digits` significant digits, trailing zeros cut.
        int intDigits = a < 1 ? 1 : (int)std::floor(std::log10(a)) + 1;
        int decimals = std::max(0, digits - intDigits);
        if (a < 1 && a != 0) decimals = digits - 1 - (int)std::floor(std::log10(a));
        snprintf(b, sizeof b, "%.*f", decimals, v);
        std::string s = b;
        if (s.find('.') != std::string::npos) {
            while (s.back() == '0') s.pop_back();
            if (s.back() == '.') s.pop_back();
        }
        if (s == "-0") s = "0";
        return s;
    }
    return b;
}

std::vector<double> ticks(double lo, double hi, int n) {
    std::vector<double> t;
    if (!(hi > lo) || !std::isfinite(lo) || !std::isfinite(hi)) {
        t.push_back(lo);
        return t;
    }
    double raw = (hi - lo) / std::max(n, 1);
    double mag = std::pow(10, std::floor(std::log10(raw)));
    double step = mag;
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * mag >= raw) {
            step = m * mag;
            break;
        }
    for (double v = std::ceil(lo / step) * step; v <= hi + step * 1e-9; v += step)
        t.push_back(std::fabs(v) < step * 1e-9 ? 0 : v);
    return t;
}

std::vector<double> countTicks(double most, int n) {
    std::vector<double> t = ticks(0, std::max(most, 1.0), n);
    // A count has no halves: the step is a whole number.
    if (t.size() >= 2 && t[1] - t[0] < 1) {
        t.clear();
        for (double v = 0; v <= std::max(most, 1.0); v++) t.push_back(v);
    }
    if (t.size() >= 2 && t.back() < most) t.push_back(t.back() + (t[1] - t[0]));
    return t;
}

Svg::Svg(int width, int height, const std::string &cls, const std::string &label) : width_(width), height_(height) {
    // Drawn in its own units and scaled to the page's width, never wider
    // than drawn: a phone gets the whole chart, smaller.
    out_ = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"" + cls + "\" width=\"100%\" viewBox=\"0 0 " +
           std::to_string(width) + " " + std::to_string(height) + "\" style=\"max-width:" + std::to_string(width) +
           "px\" role=\"img\" aria-label=\"" + escape(label) + "\">";
}

void Svg::titles(const std::string &x, const std::string &y, double yLeft) {
    if (!x.empty()) text(width_ / 2.0, height_ - 4, x, "middle", "axis-title");
    if (!y.empty()) text(yLeft, 11, y, "start", "axis-title");
}

void Svg::rect(double x, double y, double w, double h, const std::string &cls, const std::string &attrs,
               const std::string &title) {
    out_ += "<rect class=\"" + cls + "\" x=\"" + px(x) + "\" y=\"" + px(y) + "\" width=\"" + px(w) +
            "\" height=\"" + px(h) + "\"" + attrs;
    out_ += title.empty() ? "/>" : "><title>" + escape(title) + "</title></rect>";
}

void Svg::line(double x1, double y1, double x2, double y2, const std::string &cls, const std::string &attrs) {
    out_ += "<line class=\"" + cls + "\" x1=\"" + px(x1) + "\" y1=\"" + px(y1) + "\" x2=\"" + px(x2) +
            "\" y2=\"" + px(y2) + "\"" + attrs + "/>";
}

void Svg::polyline(const std::vector<std::pair<double, double>> &pts, const std::string &cls,
                   const std::string &attrs) {
    out_ += "<polyline class=\"" + cls + "\" points=\"";
    for (size_t i = 0; i < pts.size(); i++) out_ += (i ? " " : "") + px(pts[i].first) + "," + px(pts[i].second);
    out_ += "\"" + attrs + "/>";
}

void Svg::circle(double x, double y, double r, const std::string &cls, const std::string &title) {
    out_ += "<circle class=\"" + cls + "\" cx=\"" + px(x) + "\" cy=\"" + px(y) + "\" r=\"" + px(r) + "\"";
    out_ += title.empty() ? "/>" : "><title>" + escape(title) + "</title></circle>";
}

void Svg::text(double x, double y, const std::string &t, const std::string &anchor, const std::string &cls) {
    out_ += "<text x=\"" + px(x) + "\" y=\"" + px(y) + "\"";
    if (anchor != "start") out_ += " text-anchor=\"" + anchor + "\"";
    if (!cls.empty()) out_ += " class=\"" + cls + "\"";
    out_ += ">" + escape(t) + "</text>";
}

void Svg::xAxis(const Scale &x, double y, const std::vector<double> &at) {
    line(x.p0, y, x.p1, y, "axis");
    for (double v : at) {
        double p = x.at(v);
        line(p, y, p, y + 4, "axis");
        text(p, y + 15, shown(v, 4), "middle", "tick");
    }
}

void Svg::yAxis(const Scale &y, double x, double right, const std::vector<double> &at, const std::string &suffix) {
    line(x, y.p0, x, y.p1, "axis");
    for (double v : at) {
        double p = y.at(v);
        line(x, p, right, p, "grid");
        text(x - 4, p + 4, shown(v, 4) + suffix, "end", "tick");
    }
}

std::string Svg::done() {
    out_ += "</svg>";
    return std::move(out_);
}

}  // namespace report
