#include "bench/BenchRounds.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

double TRounds::Median() const {
    if (m_Values.empty())
        return 0;
    std::vector<double> sorted = m_Values;
    std::sort(sorted.begin(), sorted.end());
    const size_t middle = sorted.size() / 2;
    return sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

double TRounds::Min() const {
    return m_Values.empty() ? 0 : *std::min_element(m_Values.begin(), m_Values.end());
}

double TRounds::Max() const {
    return m_Values.empty() ? 0 : *std::max_element(m_Values.begin(), m_Values.end());
}

double TRounds::Spread() const {
    const double median = Median();
    return median > 0 ? (Max() - Min()) / median : 0;
}

std::string TRounds::Summary(const char* unit, double scale, int decimals) const {
    char text[160];
    std::snprintf(text, sizeof text, "%.*f%s%s (%.*f to %.*f, spread %.0f%%)", decimals, Median() * scale,
                  *unit ? " " : "", unit, decimals, Min() * scale, decimals, Max() * scale, Spread() * 100);
    return text;
}

TRounds TRounds::Ratios(const TRounds& ours, const TRounds& reference) {
    TRounds ratios;
    for (size_t i = 0; i < std::min(ours.Count(), reference.Count()); ++i)
        ratios.Add(reference.m_Values[i] > 0 ? ours.m_Values[i] / reference.m_Values[i] : 0);
    return ratios;
}

int RoundsArgument(const char* text, int fallback) {
    const int rounds = text ? std::atoi(text) : fallback;
    return std::max(rounds, MinimumRounds);
}
