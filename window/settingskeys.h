// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_SETTINGSKEYS_H
#define KIVERLO_SETTINGSKEYS_H

#include <QLatin1String>

// Where and under which names the tool remembers the user's last choices.
// Both values are strings; a key never written reads as the empty string.
namespace SettingsKeys {
inline QLatin1String organisation()
{
    return QLatin1String("Trunoma");
}
inline QLatin1String application()
{
    return QLatin1String("Kiverlo");
}
// Full path of the last HEX file accepted for an upload.
inline QLatin1String fileName()
{
    return QLatin1String("filename");
}
// System location of the last serial port chosen in the list.
inline QLatin1String commPort()
{
    return QLatin1String("commPort");
}
} // namespace SettingsKeys

#endif
