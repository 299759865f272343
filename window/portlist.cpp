// SPDX-License-Identifier: GPL-3.0-or-later
#include "portlist.h"

#include <QSerialPortInfo>

namespace {
std::function<QStringList()> &replacement()
{
    static std::function<QStringList()> source;
    return source;
}
} // namespace

QStringList PortList::systemLocations()
{
    if (replacement())
        return replacement()();
    QStringList locations;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        locations << port.systemLocation();
    return locations;
}

void PortList::setSource(std::function<QStringList()> source)
{
    replacement() = std::move(source);
}
