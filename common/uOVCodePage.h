#pragma once
// The machine's ANSI code page: Windows-1252, one byte per character. A
// character the code page lacks becomes "?".
#include <QByteArray>
#include <QString>
#include <QStringView>

namespace uOVCodePage {

// Windows-1252 is Latin-1 but for 0x80 to 0x9F: a character for which this
// holds is its own byte, and needs no converter.
constexpr bool SameInAnsi(char16_t AChar) {
    return AChar < 0x80 || (AChar >= 0xA0 && AChar <= 0xFF);
}

QByteArray ToAnsi(const QString& AText);
// AText in the code page onto the end of AOut.
void AppendAnsi(QByteArray& AOut, QStringView AText);
QString FromAnsi(const QByteArray& ABytes);
// A server's reply text: UTF-8 when the bytes are valid UTF-8, otherwise
// the code page (older servers answer in it).
QString FromServerText(const QByteArray& ABytes);

} // namespace uOVCodePage
