#pragma once
// The machine's ANSI code page: Windows-1252, one byte per character. A
// character the code page lacks becomes "?".
#include <QByteArray>
#include <QString>

namespace uOVCodePage {

QByteArray ToAnsi(const QString& AText);
QString FromAnsi(const QByteArray& ABytes);

} // namespace uOVCodePage
