// SPDX-License-Identifier: GPL-3.0-or-later
// What every benchmark shares: how many runs to make and the median.
#ifndef KIVERLO_BENCHUTIL_H
#define KIVERLO_BENCHUTIL_H

#include <QStringList>

#include <algorithm>
#include <vector>

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

inline bool quickMode(const QStringList &args)
{
    return args.contains(QStringLiteral("--quick"));
}

// "--runs N" if given, otherwise `quick` or `full` runs as the mode says.
inline int runCount(const QStringList &args, int quick, int full)
{
    const int index = args.indexOf(QStringLiteral("--runs"));
    if (index > 0)
        return std::max(1, args.value(index + 1).toInt());
    return quickMode(args) ? quick : full;
}

#endif
