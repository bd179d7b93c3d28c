// A set of timings and the figures the report gives of them: median, 99th
// percentile, and the spread (quartiles, least and most).
#pragma once

#include <QList>
#include <QString>

class Samples
{
public:
    void add(double value) { m_values.append(value); }
    qsizetype count() const { return m_values.size(); }
    bool isEmpty() const { return m_values.isEmpty(); }

    // The nearest-rank percentile (0 < p <= 100): a value that was measured,
    // never one interpolated between two.
    double percentile(double p) const;
    double median() const { return percentile(50); }
    double min() const { return percentile(0); }
    double max() const { return percentile(100); }

    // "median (p25..p75, min..max)" with the given number of decimals.
    QString spread(int decimals) const;
    // The latency rows' text, in ms: median and p99 in bold, then the spread.
    QString latency() const;

private:
    QList<double> m_values;
    mutable QList<double> m_sorted;
};
