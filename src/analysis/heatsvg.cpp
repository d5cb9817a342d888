// Drawing the aggregated grid as SVG.
//
// The squares of one shade share a single path, one short "M x y h1v1h-1z"
// per square in grid units under one scaling transform, so a square costs
// about sixteen bytes; the frequent bins' outlines form one more path. North
// is up: rows are drawn from the largest cell number down.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

#include "analysis/heatmap.h"

namespace cellfreq {
namespace {

// A sequential palette from pale yellow to dark red, light for few visits,
// whose steps differ in lightness, so that readers who tell few hues apart
// still read the order.
constexpr std::string_view palette[] = {"#ffffcc", "#ffeda0", "#fed976", "#feb24c",
                                        "#fd8d3c", "#fc4e2a", "#e31a1c", "#b10026"};
constexpr int nshades = static_cast<int>(std::size(palette));
constexpr std::string_view outline = outlinecolour;

// Page layout in pixels.
constexpr double left = 90, top = 56, right = 230, bottom = 78;
constexpr double plotmax = 720;  // the longer side of the plot
constexpr double squaremax = 24; // largest square

// A number with at most `decimals` decimals and no trailing zeros.
void putnum(textout& out, double v, int decimals = 2) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
  if (s.find('.') != std::string_view::npos) {
    while (s.back() == '0') s.remove_suffix(1);
    if (s.back() == '.') s.remove_suffix(1);
  }
  if (s == "-0") s = "0";
  out.put(s);
}

// Metres written as plainly as possible: up to ten significant digits.
void putmetres(textout& out, double m) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, m, std::chars_format::general, 10);
  out.put(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
  out.put(" m");
}

std::size_t levelof(const std::vector<std::int64_t>& bounds, std::int64_t v) {
  return static_cast<std::size_t>(std::upper_bound(bounds.begin(), bounds.end(), v) - bounds.begin()) - 1;
}

// The tick step in cells: 1, 2 or 5 times a power of ten, about eight ticks.
std::int64_t tickstep(std::int64_t cells) {
  const std::int64_t target = std::max<std::int64_t>(1, cells / 8);
  for (std::int64_t p = 1;; p *= 10)
    for (const std::int64_t m : {1, 2, 5})
      if (m * p >= target) return m * p;
}

// The opening tag of a text element at (x, y).
void opentext(textout& out, double x, double y, std::string_view anchor) {
  out.put("<text x=\"");
  putnum(out, x);
  out.put("\" y=\"");
  putnum(out, y);
  out.put("\" text-anchor=\"");
  out.put(anchor);
  out.put("\">");
}

// A whole text element holding `body`, on its own line.
void text(textout& out, double x, double y, std::string_view anchor, std::string_view body) {
  opentext(out, x, y, anchor);
  out.put(body);
  out.put("</text>");
  out.newline();
}

// A tick label: the cell number, and under it the metres where that cell
// begins.
void ticklabel(textout& out, double x, double y, std::string_view anchor, std::int64_t cell, float cellsize) {
  opentext(out, x, y, anchor);
  out.putint(cell);
  out.put("<tspan x=\"");
  putnum(out, x);
  out.put("\" dy=\"13\" fill=\"#666\">");
  putmetres(out, static_cast<double>(cell - 1) * static_cast<double>(cellsize));
  out.put("</tspan></text>");
  out.newline();
}

void line(textout& out, double x1, double y1, double x2, double y2) {
  out.put("<line x1=\"");
  putnum(out, x1);
  out.put("\" y1=\"");
  putnum(out, y1);
  out.put("\" x2=\"");
  putnum(out, x2);
  out.put("\" y2=\"");
  putnum(out, y2);
  out.put("\"/>");
  out.newline();
}

// One path of unit squares: the squares of `grid` for which `take` holds.
template <class P>
void squarepath(textout& out, const heatgrid& grid, P take) {
  out.put(" d=\"");
  for (const heatsquare& s : grid.squares) {
    if (!take(s)) continue;
    out.put('M');
    out.putint(s.bx - grid.bxmin);
    out.put(' ');
    out.putint(grid.bymax - s.by);
    out.put("h1v1h-1z");
  }
  out.put("\"/>");
  out.newline();
}

void axes(textout& out, const heatgrid& grid, float cellsize, double scale, double plotw, double ploth) {
  const double cellpx = scale / static_cast<double>(grid.bin);
  const std::int64_t xfirst = grid.bxmin * grid.bin, xend = (grid.bxmax + 1) * grid.bin;
  const std::int64_t yfirst = grid.bymin * grid.bin, yend = (grid.bymax + 1) * grid.bin;
  out.put("<g stroke=\"#444\" stroke-width=\"1\">");
  out.newline();
  const std::int64_t xstep = tickstep(xend - xfirst), ystep = tickstep(yend - yfirst);
  for (std::int64_t c = xfirst + (xstep - xfirst % xstep) % xstep; c <= xend; c += xstep) {
    const double x = left + static_cast<double>(c - xfirst) * cellpx;
    line(out, x, top + ploth, x, top + ploth + 5);
  }
  for (std::int64_t c = yfirst + (ystep - yfirst % ystep) % ystep; c <= yend; c += ystep) {
    const double y = top + static_cast<double>(yend - c) * cellpx;
    line(out, left - 5, y, left, y);
  }
  out.put("</g>");
  out.newline();
  for (std::int64_t c = xfirst + (xstep - xfirst % xstep) % xstep; c <= xend; c += xstep)
    ticklabel(out, left + static_cast<double>(c - xfirst) * cellpx, top + ploth + 18, "middle", c, cellsize);
  for (std::int64_t c = yfirst + (ystep - yfirst % ystep) % ystep; c <= yend; c += ystep)
    ticklabel(out, left - 8, top + static_cast<double>(yend - c) * cellpx - 2, "end", c, cellsize);
  text(out, left + plotw / 2, top + ploth + 60, "middle", "x cell (metres where it begins)");
  out.put("<text transform=\"translate(16,");
  putnum(out, top + ploth / 2);
  out.put(") rotate(-90)\" text-anchor=\"middle\">y cell (metres where it begins)</text>");
  out.newline();
}

void legend(textout& out, const heatgrid& grid, const std::vector<std::int64_t>& bounds, double x, double y) {
  text(out, x, y, "start", grid.bin == 1 ? "visits per cell" : "visits per square");
  for (std::size_t k = 0; k < bounds.size(); ++k) {
    const double ry = y + 10 + 22 * static_cast<double>(k);
    out.put("<rect x=\"");
    putnum(out, x);
    out.put("\" y=\"");
    putnum(out, ry);
    out.put("\" width=\"16\" height=\"16\" stroke=\"#999\" fill=\"");
    out.put(shade(k, bounds.size()));
    out.put("\"/><text x=\"");
    putnum(out, x + 24);
    out.put("\" y=\"");
    putnum(out, ry + 13);
    out.put("\">");
    const std::int64_t hi = k + 1 < bounds.size() ? bounds[k + 1] - 1 : grid.maxvisits;
    out.putint(bounds[k]);
    if (hi != bounds[k]) {
      out.put(" \xe2\x80\x93 ");  // en dash
      out.putint(hi);
    }
    out.put("</text>");
    out.newline();
  }
  const double fy = y + 22 + 22 * static_cast<double>(bounds.size());
  out.put("<rect x=\"");
  putnum(out, x);
  out.put("\" y=\"");
  putnum(out, fy);
  out.put("\" width=\"16\" height=\"16\" fill=\"none\" stroke-width=\"2.5\" stroke=\"");
  out.put(outline);
  out.put("\"/>");
  out.newline();
  text(out, x + 24, fy + 13, "start", "frequent cell of an");
  text(out, x + 24, fy + 28, "start", "analysed user");
  if (grid.bin > 1) {
    out.put("<text x=\"");
    putnum(out, x);
    out.put("\" y=\"");
    putnum(out, fy + 56);
    out.put("\">each square: ");
    out.putint(grid.bin);
    out.put(" \xc3\x97 ");  // multiplication sign
    out.putint(grid.bin);
    out.put(" cells</text>");
    out.newline();
  }
}

}  // namespace

std::vector<std::int64_t> levelbounds(std::int64_t maxv) {
  std::vector<std::int64_t> bounds{1};
  for (int k = 1; k < nshades; ++k) {
    const auto lo = static_cast<std::int64_t>(std::ceil(std::pow(static_cast<double>(maxv), double(k) / nshades)));
    if (lo > bounds.back() && lo <= maxv) bounds.push_back(lo);
  }
  return bounds;
}

std::string_view shade(std::size_t level, std::size_t n) {
  if (n == 1) return palette[nshades - 3];
  return palette[(level * (nshades - 1) + (n - 1) / 2) / (n - 1)];
}

void writesvg(const heatgrid& grid, float cellsize, textout& out) {
  const std::int64_t w = grid.bxmax - grid.bxmin + 1, h = grid.bymax - grid.bymin + 1;
  const std::vector<std::int64_t> bounds = levelbounds(std::max<std::int64_t>(grid.maxvisits, 1));
  const double scale = grid.squares.empty() ? squaremax
                                            : std::min(squaremax, plotmax / static_cast<double>(std::max(w, h)));
  const double plotw = grid.squares.empty() ? 240 : static_cast<double>(w) * scale;
  const double ploth = grid.squares.empty() ? 120 : static_cast<double>(h) * scale;
  const double width = left + plotw + right;
  const double height = top + std::max(ploth, 22.0 * static_cast<double>(bounds.size()) + 110) + bottom;

  out.put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
  out.newline();
  out.put("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"");
  putnum(out, width, 0);
  out.put("\" height=\"");
  putnum(out, height, 0);
  out.put("\" viewBox=\"0 0 ");
  putnum(out, width, 0);
  out.put(' ');
  putnum(out, height, 0);
  out.put("\" font-family=\"sans-serif\" font-size=\"12\">");
  out.newline();
  out.put("<rect width=\"100%\" height=\"100%\" fill=\"white\"/>");
  out.newline();
  out.put("<text x=\"");
  putnum(out, left);
  out.put("\" y=\"24\" font-size=\"15\" font-weight=\"bold\">Visits per cell</text>");
  out.newline();
  out.put("<text x=\"");
  putnum(out, left);
  out.put("\" y=\"42\" fill=\"#444\">");
  out.putint(grid.visits);
  out.put(grid.visits == 1 ? " visit in " : " visits in ");
  out.putint(grid.cells);
  out.put(grid.cells == 1 ? " cell" : " cells");
  out.put(", cells of ");
  putnum(out, static_cast<double>(cellsize), 3);
  out.put(" m");
  if (grid.bin > 1) {
    out.put(", merged ");
    out.putint(grid.bin);
    out.put(" \xc3\x97 ");
    out.putint(grid.bin);
    out.put(" into each square to stay readable");
  }
  out.put("</text>");
  out.newline();
  out.put("<rect x=\"");
  putnum(out, left);
  out.put("\" y=\"");
  putnum(out, top);
  out.put("\" width=\"");
  putnum(out, plotw);
  out.put("\" height=\"");
  putnum(out, ploth);
  out.put("\" fill=\"#f4f4f4\" stroke=\"#bbb\"/>");
  out.newline();

  if (grid.squares.empty()) {
    text(out, left + plotw / 2, top + ploth / 2, "middle", "no visits");
  } else {
    out.put("<g transform=\"translate(");
    putnum(out, left);
    out.put(',');
    putnum(out, top);
    out.put(") scale(");
    putnum(out, scale, 4);
    out.put(")\">");
    out.newline();
    for (std::size_t k = 0; k < bounds.size(); ++k) {
      out.put("<path class=\"level\" fill=\"");
      out.put(shade(k, bounds.size()));
      out.put('"');
      squarepath(out, grid, [&](const heatsquare& s) { return levelof(bounds, s.visits) == k; });
    }
    out.put("<path class=\"frequent\" fill=\"none\" stroke=\"");
    out.put(outline);
    out.put("\" stroke-width=\"");
    putnum(out, std::clamp(2.0 / scale, 0.08, 0.5), 4);
    out.put('"');
    squarepath(out, grid, [](const heatsquare& s) { return s.frequent; });
    out.put("</g>");
    out.newline();
    axes(out, grid, cellsize, scale, plotw, ploth);
  }
  legend(out, grid, bounds, left + plotw + 24, top + 12);
  out.put("</svg>");
  out.newline();
}

}  // namespace cellfreq
