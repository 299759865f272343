// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_HIGHDPI_H
#define KIVERLO_HIGHDPI_H

// Lets the window keep its layout at every display scale (125 %, 150 % and
// so on): the fixed window and its widgets are sized in device-independent
// pixels and scaled by the exact factor, as Qt 6 does by default. Qt 5 must
// be told so before the application object is made, so call this first.
void enableHighDpiScaling();

#endif
