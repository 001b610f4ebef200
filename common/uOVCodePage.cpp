#include "common/uOVCodePage.h"

#include <cerrno>
#include <iconv.h>
#include <mutex>
#include <QList>
#include <QStringDecoder>

namespace uOVCodePage {

namespace {
// iconv descriptors are not safe to share between threads without a lock;
// conversions are short, so one lock per direction is enough.
class TConverter {
public:
    TConverter(const char* ATo, const char* AFrom) : FCd(iconv_open(ATo, AFrom)) {}
    ~TConverter() {
        if (FCd != reinterpret_cast<iconv_t>(-1))
            iconv_close(FCd);
    }

    // Converts AInput; each input unit that cannot be converted is replaced
    // by AReplacement and AUnitSize input bytes are skipped.
    QByteArray Convert(const QByteArray& AInput, size_t AUnitSize, const QByteArray& AReplacement) {
        std::lock_guard lock(FLock);
        QByteArray out;
        if (FCd == reinterpret_cast<iconv_t>(-1) || AInput.isEmpty())
            return out;
        iconv(FCd, nullptr, nullptr, nullptr, nullptr);
        char* in = const_cast<char*>(AInput.constData());
        size_t inLeft = static_cast<size_t>(AInput.size());
        QByteArray buffer(static_cast<qsizetype>(inLeft * 4 + 16), '\0');
        while (inLeft > 0) {
            char* outPtr = buffer.data();
            size_t outLeft = static_cast<size_t>(buffer.size());
            const size_t rc = iconv(FCd, &in, &inLeft, &outPtr, &outLeft);
            out.append(buffer.constData(), buffer.size() - static_cast<qsizetype>(outLeft));
            if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
                const size_t skip = inLeft < AUnitSize ? inLeft : AUnitSize;
                in += skip;
                inLeft -= skip;
                out.append(AReplacement);
                iconv(FCd, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return out;
    }

private:
    iconv_t FCd;
    std::mutex FLock;
};

TConverter& ToCp1252() {
    static TConverter c("WINDOWS-1252", "UTF-32LE");
    return c;
}
TConverter& FromCp1252() {
    static TConverter c("UTF-32LE", "WINDOWS-1252");
    return c;
}
} // namespace

QByteArray ToAnsi(const QString& AText) {
    QByteArray out;
    AppendAnsi(out, AText);
    return out;
}

void AppendAnsi(QByteArray& AOut, QStringView AText) {
    // Most text is its own bytes: copied, and only the rest takes iconv.
    const qsizetype at = AOut.size();
    AOut.resize(at + AText.size());
    char* out = AOut.data() + at;
    bool other = false;
    for (const QChar c : AText) {
        *out++ = static_cast<char>(c.unicode());
        other |= !SameInAnsi(c.unicode());
    }
    if (!other)
        return;
    AOut.resize(at);
    // UTF-32 keeps one unit per character, so a character outside the code
    // page (surrogate pairs included) becomes exactly one "?".
    const QList<uint> ucs4 = AText.toUcs4();
    const QByteArray in(reinterpret_cast<const char*>(ucs4.constData()),
                        static_cast<qsizetype>(ucs4.size() * sizeof(uint)));
    AOut += ToCp1252().Convert(in, 4, "?");
}

QString FromAnsi(const QByteArray& ABytes) {
    // The five bytes Windows-1252 leaves undefined come back as U+FFFD.
    const QByteArray utf32 = FromCp1252().Convert(ABytes, 1, QByteArray("\xFD\xFF\x00\x00", 4));
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(utf32.constData()),
                             utf32.size() / 4);
}

QString FromServerText(const QByteArray& ABytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(ABytes);
    return utf8.hasError() ? FromAnsi(ABytes) : text;
}

} // namespace uOVCodePage
