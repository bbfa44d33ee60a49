#include "pages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>

namespace valdane::svc {
namespace {

constexpr double kWidth = 560, kHeight = 240;
constexpr double kLeft = 64, kRight = 20, kTop = 14, kBottom = 34, kBand = 18;

std::string Num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

// Axis labels stay short: 1.2亿, 35万, 870.
std::string Compact(double v) {
    char buf[32];
    if (v >= 1e8)
        std::snprintf(buf, sizeof buf, "%g亿", std::round(v / 1e7) / 10);
    else if (v >= 1e4)
        std::snprintf(buf, sizeof buf, "%g万", std::round(v / 1e3) / 10);
    else
        std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string DateLabel(std::int64_t ms, bool with_time) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, with_time ? "%m-%d %H:%M" : "%Y-%m-%d", &tm);
    return buf;
}

// A round step giving about four intervals; whole numbers only, the values are counts.
double NiceStep(double max) {
    const double raw = max / 4;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double f : {1.0, 2.0, 5.0, 10.0})
        if (f * magnitude >= raw)
            return std::max(1.0, f * magnitude);
    return std::max(1.0, 10 * magnitude);
}

} // namespace

std::string_view SeriesColour(std::size_t i) {
    static constexpr std::string_view kColours[] = {"#1d4ed8", "#d97706", "#047857", "#7c3aed",
                                                    "#db2777", "#0891b2", "#65a30d", "#9f1239",
                                                    "#475569", "#b45309"};
    return kColours[i % std::size(kColours)];
}

std::string LineChart(std::string_view title, const std::vector<ChartSeries>& series,
                      std::int64_t from_ms, std::int64_t to_ms) {
    const double plot_w = kWidth - kLeft - kRight, plot_h = kHeight - kTop - kBottom - kBand;
    const double bottom = kTop + plot_h, band = bottom + 6;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + Num(kWidth) +
                      " " + Num(kHeight) + "\" width=\"" + Num(kWidth) + "\" height=\"" +
                      Num(kHeight) + "\" role=\"img\" font-family=\"sans-serif\" font-size=\"12\">";
    svg += "<title>" + HtmlEscape(title) + "</title>";
    svg += "<rect x=\"" + Num(kLeft) + "\" y=\"" + Num(kTop) + "\" width=\"" + Num(plot_w) +
           "\" height=\"" + Num(plot_h) + "\" fill=\"#fbfcfd\" stroke=\"#cbd2d9\"/>";
    std::int64_t t0 = from_ms, t1 = to_ms;
    double vmax = 0;
    bool any = false;
    for (const ChartSeries& s : series)
        for (const Measurement& m : *s.history) {
            if (!from_ms)
                t0 = any ? std::min(t0, m.time_ms) : m.time_ms;
            if (!to_ms)
                t1 = any ? std::max(t1, m.time_ms) : m.time_ms;
            any = true;
            if (auto v = ShownValue(m))
                vmax = std::max(vmax, static_cast<double>(*v));
        }
    if (!any) {
        svg += "<text x=\"" + Num(kLeft + plot_w / 2) + "\" y=\"" + Num(kTop + plot_h / 2) +
               "\" text-anchor=\"middle\" fill=\"#7b8794\">此期间暂无记录</text></svg>";
        return svg;
    }
    const double step = NiceStep(std::max(vmax, 1.0));
    const double ymax = step * std::max(1.0, std::ceil(vmax / step));
    auto x_of = [&](std::int64_t t) {
        return t1 <= t0 ? kLeft + plot_w / 2
                        : kLeft + plot_w * static_cast<double>(std::clamp(t, t0, t1) - t0) /
                                      static_cast<double>(t1 - t0);
    };
    auto y_of = [&](double v) { return bottom - plot_h * v / ymax; };

    for (double v = 0; v <= ymax + step / 2; v += step) {
        const std::string y = Num(y_of(v));
        svg += "<line x1=\"" + Num(kLeft) + "\" y1=\"" + y + "\" x2=\"" + Num(kLeft + plot_w) +
               "\" y2=\"" + y + "\" stroke=\"#e4e7eb\"/>";
        svg += "<text x=\"" + Num(kLeft - 6) + "\" y=\"" + Num(y_of(v) + 4) +
               "\" text-anchor=\"end\" fill=\"#52606d\">" + HtmlEscape(Compact(v)) + "</text>";
    }
    // Failed attempts have a band of their own below the plot: a failure is not a zero.
    svg += "<rect x=\"" + Num(kLeft) + "\" y=\"" + Num(band) + "\" width=\"" + Num(plot_w) +
           "\" height=\"" + Num(kBand - 6) + "\" fill=\"#fdf2f2\"/><text x=\"" + Num(kLeft - 6) +
           "\" y=\"" + Num(band + 10) + "\" text-anchor=\"end\" fill=\"#c81e1e\">失败</text>";
    const bool with_time = t1 - t0 < 2LL * 24 * 3600 * 1000;
    const int ticks = t1 <= t0 ? 1 : 4;
    for (int i = 0; i < ticks; ++i) {
        const std::int64_t t = ticks == 1 ? t0 : t0 + (t1 - t0) * i / (ticks - 1);
        const char* anchor = ticks == 1       ? "middle"
                             : i == 0         ? "start"
                             : i == ticks - 1 ? "end"
                                              : "middle";
        svg += "<text x=\"" + Num(x_of(t)) + "\" y=\"" + Num(band + kBand + 10) +
               "\" text-anchor=\"" + anchor + "\" fill=\"#52606d\">" +
               HtmlEscape(DateLabel(t, with_time)) + "</text>";
    }

    std::string lines, marks;
    for (std::size_t i = 0; i < series.size(); ++i) {
        const std::string colour(SeriesColour(i));
        const std::string failed = series.size() == 1 ? "#c81e1e" : colour;
        const std::string who = series[i].name.empty() ? "" : series[i].name + "  ";
        std::string line;
        for (const Measurement& m : *series[i].history) {
            const double xf = x_of(m.time_ms);
            const std::string x = Num(xf), when = who + FormatTime(m.time_ms);
            if (auto v = ShownValue(m)) {
                const std::string y = Num(y_of(static_cast<double>(*v)));
                line += x + "," + y + " ";
                marks += "<circle cx=\"" + x + "\" cy=\"" + y + "\" r=\"3\" fill=\"" + colour +
                         "\"><title>" + HtmlEscape(when + "  " + FormatCount(*v)) +
                         "</title></circle>";
                continue;
            }
            std::string why(StatusText(m.status));
            if (!m.detail.empty())
                why += "：" + m.detail;
            marks += "<path d=\"M" + Num(xf - 3.5) + " " + Num(band + 2) + "L" + Num(xf + 3.5) +
                     " " + Num(band + 9) + "M" + Num(xf - 3.5) + " " + Num(band + 9) + "L" +
                     Num(xf + 3.5) + " " + Num(band + 2) + "\" stroke=\"" + failed +
                     "\" stroke-width=\"2\"><title>" + HtmlEscape(when + "  " + why) +
                     "</title></path>";
        }
        if (!line.empty())
            lines += "<polyline points=\"" + line + "\" fill=\"none\" stroke=\"" + colour +
                     "\" stroke-width=\"2\" stroke-linejoin=\"round\"/>";
    }
    svg += lines + marks + "</svg>";
    return svg;
}

} // namespace valdane::svc
