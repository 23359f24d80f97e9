// A few SVG primitives for the HTML report's charts: a drawing area with
// linear scales, rectangles, lines, polylines and text.  Every text is
// escaped; coordinates have one decimal.  Charts are built from these in
// charts.cpp.
#pragma once

#include <string>
#include <vector>

namespace report {

// Text for HTML and SVG, as text or as a quoted attribute value: the XML
// writer's escaping (format::xmlText), which HTML reads back the same.
std::string escape(const std::string &text);
// A number as its shortest exact decimal text (data attributes).
std::string exact(double v);
// A number for people: up to `digits` significant digits, no exponent for
// the usual magnitudes.
std::string shown(double v, int digits = 6);

// Maps [d0, d1] onto [p0, p1].
struct Scale {
    double d0 = 0, d1 = 1, p0 = 0, p1 = 1;
    double at(double v) const { return d1 == d0 ? (p0 + p1) / 2 : p0 + (v - d0) * (p1 - p0) / (d1 - d0); }
};

// Round tick values ("nice" steps 1, 2, 5 x 10^k) covering [lo, hi], about n.
std::vector<double> ticks(double lo, double hi, int n = 5);
// Counts from 0 to most: the ticks, ending at or above most.
std::vector<double> countTicks(double most, int n = 4);

class Svg {
  public:
    // width x height units, scaled to the page's width (at most width
    // pixels); label: the chart's accessible name.
    Svg(int width, int height, const std::string &cls, const std::string &label);
    // attrs: extra attributes, already escaped (` data-n="3"`).
    void rect(double x, double y, double w, double h, const std::string &cls, const std::string &attrs = "",
              const std::string &title = "");
    void line(double x1, double y1, double x2, double y2, const std::string &cls,
              const std::string &attrs = "");
    void polyline(const std::vector<std::pair<double, double>> &pts, const std::string &cls,
                  const std::string &attrs = "");
    void circle(double x, double y, double r, const std::string &cls, const std::string &title = "");
    // anchor: start, middle, end; text is escaped here.
    void text(double x, double y, const std::string &text, const std::string &anchor = "start",
              const std::string &cls = "");
    void raw(const std::string &s) { out_ += s; }
    // The axes' titles with their units: x centred on the bottom line, y
    // over the values' axis from yLeft (top left, unrotated).
    void titles(const std::string &x, const std::string &y, double yLeft = 4);
    int width() const { return width_; }
    // Horizontal axis ticks and labels under y, vertical ones left of x.
    void xAxis(const Scale &x, double y, const std::vector<double> &at);
    void yAxis(const Scale &y, double x, double right, const std::vector<double> &at,
               const std::string &suffix = "");
    std::string done();

  private:
    int width_, height_;
    std::string out_;
};

}  // namespace report
