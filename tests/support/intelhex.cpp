// SPDX-License-Identifier: GPL-3.0-or-later
#include "intelhex.h"

#include <QFile>
#include <QSaveFile>

#include <random>

namespace {

void appendRecord(QByteArray &out, quint8 type, quint16 address, const char *data, int size)
{
    QByteArray record;
    record.reserve(size + 5);
    record.append(char(size));
    record.append(char(address >> 8));
    record.append(char(address & 0xFF));
    record.append(char(type));
    record.append(data, size);
    quint8 sum = 0;
    for (const char c : record)
        sum = quint8(sum + quint8(c));
    record.append(char(quint8(-sum)));
    out.append(':');
    out.append(record.toHex().toUpper());
    out.append('\n');
}

} // namespace

QByteArray toIntelHex(const QByteArray &data, quint32 baseAddress)
{
    QByteArray out;
    out.reserve(data.size() / 16 * 44 + 64);
    quint32 upper = 0; // upper 16 address bits the reader currently assumes
    for (int pos = 0; pos < data.size();) {
        const quint32 address = baseAddress + quint32(pos);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            const char ela[2] = {char(upper >> 8), char(upper & 0xFF)};
            appendRecord(out, 0x04, 0, ela, 2);
        }
        // A record never crosses a 64 KiB boundary.
        const quint32 toBoundary = 0x10000 - (address & 0xFFFF);
        const int size = int(qMin<quint32>(qMin<quint32>(16, toBoundary), quint32(data.size() - pos)));
        appendRecord(out, 0x00, quint16(address & 0xFFFF), data.constData() + pos, size);
        pos += size;
    }
    appendRecord(out, 0x01, 0, nullptr, 0);
    return out;
}

bool writeIntelHex(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray text = toIntelHex(data);
    if (file.write(text) != text.size())
        return false;
    return file.commit();
}

QByteArray readIntelHexImage(const QString &path)
{
    QFile file(path);
    QByteArray image;
    if (!file.open(QIODevice::ReadOnly))
        return image;
    while (!file.atEnd()) {
        const QByteArray record = QByteArray::fromHex(file.readLine().trimmed().mid(1));
        if (record.size() < 5 || record[3] != 0)
            continue;
        const int address = (quint8(record[1]) << 8) | quint8(record[2]);
        const QByteArray data = record.mid(4, quint8(record[0]));
        if (image.size() < address + data.size())
            image.resize(address + data.size());
        image.replace(address, data.size(), data);
    }
    return image;
}

QByteArray randomImage(quint32 seed, int size)
{
    std::mt19937 generator(seed);
    QByteArray data(size, '\0');
    for (char &byte : data)
        byte = char(generator() & 0xFF);
    return data;
}
