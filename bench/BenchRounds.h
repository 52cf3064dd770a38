#pragma once
// The figures of a benchmark's rounds. Rounds run interleaved (ours, the reference, ours, ...) so
// that both sides see the same load on the machine; a figure is reported as the median with the
// lowest and highest round and the spread between them relative to the median, and a comparison as
// the median of the rounds' own ratios, so that a busy machine shows as a wide spread rather than
// as a change. Single-threaded.

#include <string>
#include <vector>

// Benchmarks run at least this many rounds.
constexpr int MinimumRounds = 5;

class TRounds {
public:
    void Add(double value) { m_Values.push_back(value); }
    size_t Count() const { return m_Values.size(); }
    double Last() const { return m_Values.back(); }
    // The middle value (the mean of the two middle ones for an even count); 0 without rounds.
    double Median() const;
    double Min() const;
    double Max() const;
    // (highest - lowest) / median.
    double Spread() const;
    // "1.234 s (1.200 to 1.300, spread 8%)": each value times `scale`, with `decimals` decimals.
    std::string Summary(const char* unit = "s", double scale = 1, int decimals = 3) const;
    // The ratio of each round of `ours` to the same round of `reference`.
    static TRounds Ratios(const TRounds& ours, const TRounds& reference);

private:
    std::vector<double> m_Values;
};

// The number of rounds a benchmark was asked for: at least MinimumRounds.
int RoundsArgument(const char* text, int fallback = MinimumRounds);
