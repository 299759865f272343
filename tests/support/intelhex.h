// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_TESTS_INTELHEX_H
#define KIVERLO_TESTS_INTELHEX_H

#include <QByteArray>
#include <QString>

// Encodes data placed at baseAddress as Intel HEX text: 16-byte data
// records, an extended linear address record wherever the upper 16 address
// bits change, and the end-of-file record. Lines end in "\n".
QByteArray toIntelHex(const QByteArray &data, quint32 baseAddress = 0);

// Writes toIntelHex(data) to path; false if the file cannot be written.
bool writeIntelHex(const QString &path, const QByteArray &data);

// The bytes of a small Intel HEX file placed from address 0 (data records
// only; the fixtures need no more). Empty if the file cannot be read.
QByteArray readIntelHexImage(const QString &path);

// Random bytes, the same for the same seed: images whose arrival can be
// checked byte for byte.
QByteArray randomImage(quint32 seed, int size);

#endif
