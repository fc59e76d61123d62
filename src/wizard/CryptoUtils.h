#pragma once

// Hex text and bit helpers for the file digest.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Lowercase hexadecimal, two digits per byte, no separators.
QString HexText(const QByteArray &bytes);

// Exactly eight lowercase digits, most significant first, leading zeros
// kept.
QString HexText32(quint32 value);

quint32 ReverseBytes32(quint32 value);
