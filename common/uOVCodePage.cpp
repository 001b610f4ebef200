#include "common/uOVCodePage.h"

#include <QStringDecoder>

namespace uOVCodePage {

namespace {
// What Windows-1252 puts at 0x80 to 0x9F; 0 where it defines nothing. The
// rest of the code page is Latin-1, so this table is the whole conversion
// and needs nothing from the system.
constexpr char16_t HighRow[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,      //
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178, //
};

char ByteOf(char16_t AChar) {
    if (SameInAnsi(AChar))
        return static_cast<char>(AChar);
    for (int i = 0; i < 32; ++i)
        if (HighRow[i] != 0 && HighRow[i] == AChar)
            return static_cast<char>(0x80 + i);
    return '?';
}
} // namespace

QByteArray ToAnsi(const QString& AText) {
    QByteArray out;
    AppendAnsi(out, AText);
    return out;
}

void AppendAnsi(QByteArray& AOut, QStringView AText) {
    AOut.reserve(AOut.size() + AText.size());
    for (qsizetype i = 0; i < AText.size(); ++i) {
        const char16_t c = AText[i].unicode();
        // A character outside the code page is one "?", a surrogate pair too.
        if (QChar::isHighSurrogate(c) && i + 1 < AText.size() && AText[i + 1].isLowSurrogate())
            ++i;
        AOut += ByteOf(c);
    }
}

QString FromAnsi(const QByteArray& ABytes) {
    QString text(ABytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char b : ABytes) {
        const auto byte = static_cast<unsigned char>(b);
        char16_t c = byte;
        // The five bytes Windows-1252 leaves undefined come back as U+FFFD.
        if (byte >= 0x80 && byte < 0xA0)
            c = HighRow[byte - 0x80] != 0 ? HighRow[byte - 0x80] : char16_t(0xFFFD);
        *out++ = QChar(c);
    }
    return text;
}

QString FromServerText(const QByteArray& ABytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(ABytes);
    return utf8.hasError() ? FromAnsi(ABytes) : text;
}

} // namespace uOVCodePage
