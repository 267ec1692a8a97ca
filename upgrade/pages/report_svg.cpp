// The page's charts, drawn as SVG: wave bars, the timeline, versions and
// distributions. Numbers are rounded to a tenth: a file of 20 000 cards
// stays small, and no chart needs finer.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "protocol/packet.h"
#include "upgrade/pages/report_figures.h"

namespace {

std::string num(double v) {
  char text[32];
  const double r = std::round(v * 10) / 10;
  if (r == std::floor(r))
    std::snprintf(text, sizeof text, "%.0f", r);
  else
    std::snprintf(text, sizeof text, "%.1f", r);
  return text;
}

std::string verdict_class(Verdict v) { return std::string("v-") + verdict_word(v); }

std::string svg_open(double width, double height, const std::string& label) {
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + num(width) + " " +
         num(height) + "\" role=\"img\" aria-label=\"" + html_text(label) + "\">";
}

std::string text_at(double x, double y, const std::string& text, const char* cls = "lbl",
                    const char* anchor = nullptr) {
  std::string out = "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" class=\"" + cls + "\"";
  if (anchor) out += std::string(" text-anchor=\"") + anchor + "\"";
  return out + ">" + html_text(text) + "</text>";
}

std::string line(double x1, double x2, double y1, double y2, const char* cls) {
  // Appended piece by piece: g++ 12 warns wrongly of overlapping copies in
  // a chain of + from a literal.
  std::string out = "<line x1=\"";
  out += num(x1);
  out += "\" x2=\"";
  out += num(x2);
  out += "\" y1=\"";
  out += num(y1);
  out += "\" y2=\"";
  out += num(y2);
  out += "\" class=\"";
  out += cls;
  out += "\"/>";
  return out;
}

std::string rect(double x, double y, double w, double h, const std::string& cls,
                 const std::string& title = "") {
  std::string out = "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) +
                    "\" height=\"" + num(h) + "\" class=\"" + cls + "\"";
  if (title.empty()) return out + "/>";
  return out + "><title>" + html_text(title) + "</title></rect>";
}

std::string plural(long long n, const char* one) {
  return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

// ---- The timeline's axis: stretches without any card running for
// GAP_FOLDED_S or longer are folded to FOLD_W, the rest is to scale.

const double FOLD_W = 26;

struct TimeAxis {
  double left = 0, width = 0, scale = 1;
  long long first = 0;
  std::vector<IdleGap> folds;
  double x(long long t) const {
    double shift = 0;  // the folded seconds before t, taken out
    double folds_before = 0;
    for (const IdleGap& g : folds) {
      if (t >= g.to) {
        shift += static_cast<double>(g.to - g.from);
        folds_before += FOLD_W;
      } else if (t > g.from) {
        const double part = static_cast<double>(t - g.from) / static_cast<double>(g.to - g.from);
        return left + static_cast<double>(g.from - first - static_cast<long long>(shift)) * scale +
               folds_before + part * FOLD_W;
      }
    }
    return left + (static_cast<double>(t - first) - shift) * scale + folds_before;
  }
};

TimeAxis time_axis(const RunFigures& f, double left, double width) {
  TimeAxis a;
  a.left = left;
  a.width = width;
  a.first = f.first;
  double folded = 0;
  for (const IdleGap& g : f.gaps)
    if (g.folded) {
      a.folds.push_back(g);
      folded += static_cast<double>(g.to - g.from);
    }
  const double active = std::max(1.0, static_cast<double>(f.last - f.first) - folded);
  a.scale = std::max(1.0, width - FOLD_W * static_cast<double>(a.folds.size())) / active;
  return a;
}

long long tick_step(double active_seconds) {
  static const long long steps[] = {1,    2,    5,    10,   15,    30,    60,    120,   300,
                                    600,  900,  1800, 3600, 7200,  10800, 21600, 43200, 86400};
  for (long long s : steps)
    if (active_seconds / static_cast<double>(s) <= 8) return s;
  return 86400;
}

std::string tick_text(long long t, long long step) {
  const LocalTime lt = clock_time(t);
  char text[24];
  if (step < 60)
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", lt.hour, lt.minute, lt.second);
  else
    std::snprintf(text, sizeof text, "%02d:%02d", lt.hour, lt.minute);
  return text;
}

// Rectangles of one class drawn at the same place run together into one:
// a timeline of thousands of cards stays a few thousand elements.
struct BarRun {
  double x0 = 0, x1 = -1, y = 0, h = 0;
  std::string cls;
};

void flush_bar(BarRun* run, std::string* out) {
  if (run->x1 >= run->x0) *out += rect(run->x0, run->y, std::max(run->x1 - run->x0, 1.0), run->h, run->cls);
  run->x1 = run->x0 - 1;
}

void add_bar(BarRun* run, double x0, double x1, double y, double h, const std::string& cls,
             std::string* out) {
  if (run->x1 >= run->x0 && run->cls == cls && run->y == y && x0 <= run->x1 + 0.5) {
    run->x1 = std::max(run->x1, x1);
    return;
  }
  flush_bar(run, out);
  *run = {x0, x1, y, h, cls};
}

// More cards than this on a timeline are drawn run together, without a
// title per card.
const size_t TIMELINE_TITLED_MAX = 500;

}  // namespace

std::string counts_bar_svg(const VerdictCounts& counts) {
  int total = 0;
  for (int n : counts) total += n;
  const double width = 1000, height = 22;
  std::string out = svg_open(width, height, "cards by verdict");
  double x = 0;
  for (size_t v = 0; v < VERDICTS; ++v) {
    if (!counts[v] || !total) continue;
    const double w = width * counts[v] / total;
    const Verdict verdict = static_cast<Verdict>(v);
    out += rect(x, 0, w, height, verdict_class(verdict),
                std::string(verdict_rules(verdict).label) + ": " + std::to_string(counts[v]));
    x += w;
  }
  return out + "</svg>";
}

std::string wave_bars_svg(const RunFigures& f) {
  const double left = 120, bar_w = 760, row_h = 20, width = 1000;
  const double height = row_h * static_cast<double>(f.wave_rows.size()) + 4;
  int most = 1;
  for (const WaveRow& r : f.wave_rows) most = std::max(most, r.cards);
  std::string out = svg_open(width, height, "cards of each wave by verdict");
  double y = 2;
  for (const WaveRow& r : f.wave_rows) {
    std::string label = r.wave == 0   ? (f.planned ? "outside the plan" : "not sent")
                        : r.last > r.wave ? "waves " + std::to_string(r.wave) + "-" + std::to_string(r.last)
                                          : "wave " + std::to_string(r.wave);
    out += "<g class=\"wave\" data-wave=\"" + std::to_string(r.wave) + "\">";
    out += text_at(left - 8, y + 13, label, "lbl", "end");
    double x = left;
    for (size_t v = 0; v < VERDICTS; ++v) {
      if (!r.counts[v]) continue;
      const double w = bar_w * r.counts[v] / most;
      const Verdict verdict = static_cast<Verdict>(v);
      out += rect(x, y + 2, w, row_h - 5, verdict_class(verdict),
                  label + ": " + verdict_rules(verdict).label + " " + std::to_string(r.counts[v]));
      x += w;
    }
    out += text_at(x + 6, y + 13, plural(r.cards, "card"));
    out += "</g>";
    y += row_h;
  }
  return out + "</svg>";
}

std::string timeline_svg(const PageReport& report, const RunFigures& f) {
  const double left = 64, width = 1000, plot_w = width - left - 12, top = 18;
  const double lane_h = f.lane_count <= 24 ? 16 : f.lane_count <= 64 ? 9 : 5;
  const double bar_h = lane_h <= 5 ? 3 : lane_h * 0.55, check_h = lane_h <= 5 ? 1 : lane_h * 0.2;
  const double lanes_h = lane_h * std::max(1, f.lane_count);
  const double height = top + lanes_h + 28;
  const TimeAxis axis = time_axis(f, left, plot_w);
  std::string out = svg_open(width, height, "timeline: one lane per transfer slot");
  // Lanes, labelled every few when there are many.
  const int label_every = f.lane_count <= 24 ? 1 : f.lane_count <= 64 ? 4 : 16;
  for (int lane = 0; lane < f.lane_count; ++lane) {
    const double y = top + lane_h * lane;
    if (lane % 2) out += rect(left, y, plot_w, lane_h, "lane");
    if (lane % label_every == 0) out += text_at(left - 6, y + std::min(lane_h, 12.0) - 2, "slot " + std::to_string(lane + 1), "lbl small", "end");
  }
  // Stretches without a card running: folded ones hatched, others shaded.
  for (const IdleGap& g : f.gaps) {
    const double x0 = axis.x(g.from), x1 = axis.x(g.to);
    const std::string words = "no card running for " + duration_text(g.to - g.from);
    out += rect(x0, top, std::max(x1 - x0, 1.0), lanes_h, g.folded ? "gap folded" : "gap", words);
    if (x1 - x0 >= 20)
      out += text_at((x0 + x1) / 2, top + lanes_h + 24, duration_text(g.to - g.from), "lbl small gapl", "middle");
  }
  // Each card's transfer, and its check beneath it.
  const std::vector<CardResult>& cards = report.cards;
  size_t drawn = 0;
  for (int lane : f.lanes) drawn += lane >= 0;
  const bool titled = drawn <= TIMELINE_TITLED_MAX;
  std::vector<size_t> order;
  for (size_t i = 0; i < cards.size(); ++i)
    if (f.lanes[i] >= 0) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (f.lanes[a] != f.lanes[b]) return f.lanes[a] < f.lanes[b];
    return f.begins[a] < f.begins[b];
  });
  BarRun transfers, checks;
  std::string check_out;
  for (size_t i : order) {
    const CardResult& c = cards[i];
    const double y = top + lane_h * f.lanes[i] + (lane_h - bar_h - check_h) / 2;
    const long long start = f.begins[i], end = f.ends[i];
    const double x0 = axis.x(start), x1 = std::max(axis.x(end), x0 + 1.5);
    const std::string cls = verdict_class(c.verdict);
    const long long settled = f.settles[i];
    if (titled) {
      std::string title = std::string(ip_to_text(c.ip)) + ": " + verdict_rules(c.verdict).label +
                          ", " + duration_text(end - start);
      if (f.waves[i]) title += ", wave " + std::to_string(f.waves[i]);
      out += rect(x0, y, x1 - x0, bar_h, cls + " xfer", title);
      if (settled > end)
        check_out += rect(x1, y + bar_h, std::max(axis.x(settled) - x1, 1.0), check_h, cls + " chk",
                          std::string(ip_to_text(c.ip)) + ": checked for " + duration_text(settled - end));
    } else {
      add_bar(&transfers, x0, x1, y, bar_h, cls + " xfer", &out);
      if (settled > end) add_bar(&checks, x1, axis.x(settled), y + bar_h, check_h, cls + " chk", &check_out);
    }
  }
  flush_bar(&transfers, &out);
  flush_bar(&checks, &check_out);
  out += check_out;
  // Where each wave began.
  std::map<int, long long> wave_start;
  for (size_t i = 0; i < cards.size(); ++i)
    if (f.lanes[i] >= 0 && f.waves[i] > 0) {
      const long long s = f.begins[i];
      auto it = wave_start.find(f.waves[i]);
      if (it == wave_start.end() || s < it->second) wave_start[f.waves[i]] = s;
    }
  double last_label = -100;
  for (const auto& [wave, at] : wave_start) {
    const double x = axis.x(at);
    out += line(x, x, top - 4, top + lanes_h, "wavemark");
    if (x - last_label >= 26) {
      std::string name = "w";  // appended: see line()
      name += std::to_string(wave);
      out += text_at(x + 2, top - 6, name, "lbl small");
      last_label = x;
    }
  }
  // The time axis: ticks on the parts to scale, the date at the start.
  const double active = static_cast<double>(f.last - f.first);
  const long long step = tick_step(active / std::max(1.0, static_cast<double>(axis.folds.size() + 1)));
  const double axis_y = top + lanes_h;
  out += line(left, left + plot_w, axis_y, axis_y, "axis");
  double last_tick = -100;
  for (long long t = (f.first / step + 1) * step; t <= f.last; t += step) {
    bool folded = false;
    for (const IdleGap& g : axis.folds)
      if (t > g.from && t < g.to) folded = true;
    if (folded) {
      // Past the fold: the next tick after it.
      for (const IdleGap& g : axis.folds)
        if (t > g.from && t < g.to) t = (g.to / step) * step;
      continue;
    }
    const double x = axis.x(t);
    if (x - last_tick < 48 || x > left + plot_w - 22) continue;
    out += line(x, x, axis_y, axis_y + 4, "axis");
    out += text_at(x, axis_y + 14, tick_text(t, step), "lbl small", "middle");
    last_tick = x;
  }
  out += text_at(left, axis_y + 24, clock_text(f.start), "lbl small");
  return out + "</svg>";
}

std::string versions_svg(const std::map<uint32_t, int>& before, int before_unknown,
                         const std::map<uint32_t, int>& after, int after_unknown, bool has_target,
                         uint32_t target) {
  std::vector<uint32_t> versions;
  for (const auto& [v, n] : before) versions.push_back(v);
  for (const auto& [v, n] : after)
    if (!before.count(v)) versions.push_back(v);
  std::sort(versions.begin(), versions.end());
  const bool unknown = before_unknown || after_unknown;
  const size_t rows = versions.size() + (unknown ? 1 : 0);
  int most = 1;
  for (const auto& [v, n] : before) most = std::max(most, n);
  for (const auto& [v, n] : after) most = std::max(most, n);
  most = std::max({most, before_unknown, after_unknown});
  const double left = 120, bar_w = 700, row_h = 30, width = 1000;
  std::string out = svg_open(width, row_h * static_cast<double>(rows) + 4, "versions before and after");
  double y = 2;
  auto row = [&](const std::string& label, int b, int a, bool behind) {
    out += text_at(left - 8, y + 17, label, behind ? "lbl behind" : "lbl", "end");
    out += rect(left, y + 2, bar_w * b / most, 11, "before", label + " before: " + std::to_string(b));
    out += text_at(left + bar_w * b / most + 5, y + 11, std::to_string(b) + " before", "lbl small");
    out += rect(left, y + 15, bar_w * a / most, 11, behind ? "after behind" : "after",
                label + " after: " + std::to_string(a));
    out += text_at(left + bar_w * a / most + 5, y + 24, std::to_string(a) + " after", "lbl small");
    y += row_h;
  };
  for (uint32_t v : versions) {
    auto b = before.find(v), a = after.find(v);
    row(version_text(v), b == before.end() ? 0 : b->second, a == after.end() ? 0 : a->second,
        has_target && v < target);
  }
  if (unknown) row("unknown", before_unknown, after_unknown, has_target);
  return out + "</svg>";
}

std::string histogram_svg(const Histogram& h, const std::string& unit) {
  const double width = 480, height = 170, left = 36, bottom = 30, top = 10;
  const double plot_w = width - left - 10, plot_h = height - top - bottom;
  std::string out = svg_open(width, height, "distribution (" + unit + ")");
  if (h.bins.empty()) return out + text_at(width / 2, height / 2, "no transfers", "lbl", "middle") + "</svg>";
  int most = 1;
  for (int n : h.bins) most = std::max(most, n);
  const double bw = plot_w / static_cast<double>(h.bins.size());
  for (size_t i = 0; i < h.bins.size(); ++i) {
    if (!h.bins[i]) continue;
    const double bh = plot_h * h.bins[i] / most;
    const double from = h.from + h.step * static_cast<double>(i);
    out += rect(left + bw * static_cast<double>(i) + 0.5, top + plot_h - bh, std::max(bw - 1, 0.5), bh, "hist",
                num(from) + "-" + num(from + h.step) + " " + unit + ": " + std::to_string(h.bins[i]));
  }
  out += line(left, left + plot_w, top + plot_h, top + plot_h, "axis");
  const size_t every = std::max<size_t>(1, h.bins.size() / 6);
  for (size_t i = 0; i <= h.bins.size(); i += every)
    out += text_at(left + bw * static_cast<double>(i), top + plot_h + 14,
                   num(h.from + h.step * static_cast<double>(i)), "lbl small", "middle");
  out += text_at(left + plot_w, top + plot_h + 27, unit, "lbl small", "end");
  out += text_at(left - 4, top + 10, std::to_string(most), "lbl small", "end");
  return out + "</svg>";
}
