#pragma once

// What the benchmarks share: statistics over samples and one table row a figure.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// Nearest-rank percentile.
inline double Percentile(std::vector<double> values, double percent)
{
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(percent / 100 * values.size()));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

inline double Median(const std::vector<double>& values)
{
    return Percentile(values, 50);
}

inline double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

inline std::string Format(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// "  Figure   measured   goal   met": `met` below 0 for a figure without a goal.
inline void Row(const char* figure, const std::string& measured, const char* goal = "", int met = -1)
{
    std::printf("  %-44s %-22s %-12s %s\n", figure, measured.c_str(), goal, met < 0 ? "" : met ? "met" : "not met");
}
