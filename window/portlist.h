// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_PORTLIST_H
#define KIVERLO_PORTLIST_H

#include <QStringList>

#include <functional>

// The serial ports the window offers.
namespace PortList {

// Each port's system location (such as /dev/ttyUSB0, or \\.\COM5 on
// Windows), in the order the serial-port library enumerates them, neither
// sorted nor filtered.
QStringList systemLocations();

// Takes the list from `source` instead of the serial-port library, so that
// tests can offer ports this machine does not have. An empty function
// restores the library.
void setSource(std::function<QStringList()> source);

} // namespace PortList

#endif
