#include "samples.h"

#include <algorithm>
#include <cmath>

double Samples::percentile(double p) const
{
    if (m_values.isEmpty())
        return 0;
    if (m_sorted.size() != m_values.size()) {
        m_sorted = m_values;
        std::sort(m_sorted.begin(), m_sorted.end());
    }
    const auto n = m_sorted.size();
    const auto rank = qsizetype(std::ceil(p / 100.0 * double(n)));
    return m_sorted.at(std::clamp<qsizetype>(rank - 1, 0, n - 1));
}

QString Samples::spread(int decimals) const
{
    return QStringLiteral("%1 (%2..%3, %4..%5)")
        .arg(median(), 0, 'f', decimals)
        .arg(percentile(25), 0, 'f', decimals)
        .arg(percentile(75), 0, 'f', decimals)
        .arg(min(), 0, 'f', decimals)
        .arg(max(), 0, 'f', decimals);
}

QString Samples::latency() const
{
    return QStringLiteral("median **%1 ms**, p99 **%2 ms** (p25..p75 %3..%4, min..max %5..%6)")
        .arg(median(), 0, 'f', 3)
        .arg(percentile(99), 0, 'f', 3)
        .arg(percentile(25), 0, 'f', 3)
        .arg(percentile(75), 0, 'f', 3)
        .arg(min(), 0, 'f', 3)
        .arg(max(), 0, 'f', 3);
}
