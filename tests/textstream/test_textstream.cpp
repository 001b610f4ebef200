#include "common/uOVTextStream.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <QBuffer>
#include <QFile>
#include <QPointer>

namespace {

// A buffer that counts the write calls it receives.
class TCountingBuffer : public QBuffer {
public:
    int Writes = 0;

protected:
    qint64 writeData(const char* AData, qint64 ALen) override {
        ++Writes;
        return QBuffer::writeData(AData, ALen);
    }
};

QBuffer* OpenBuffer(const QByteArray& ABytes, QIODevice::OpenMode AMode = QIODevice::ReadOnly) {
    auto* buffer = new QBuffer;
    buffer->setData(ABytes);
    buffer->open(AMode);
    return buffer;
}

QByteArray Utf16Le(const QString& AText) {
    QByteArray bytes;
    for (QChar c : AText)
        bytes.append(static_cast<char>(c.unicode() & 0xFF))
            .append(static_cast<char>(c.unicode() >> 8));
    return bytes;
}

// Line breaking is the same for both classes; each case runs through both.
struct TLineCase {
    const char* Name;
    QByteArray Input; // as 8-bit text; the 16-bit case widens every byte
    QList<QByteArray> Lines;
};

const TLineCase LineCases[] = {
    {"CR LF pair", "A\r\nB", {"A", "B"}},
    {"last line without line end", "A\r\nlast", {"A", "last"}},
    {"empty line between CR LF pairs", "A\r\n\r\nB\r\n", {"A", "", "B"}},
    {"lone CR swallows the next char", "A\rXB\r\n", {"A", "B"}},
    {"lone LF swallows nothing", "A\nB\n\nC", {"A", "B", "", "C"}},
    {"LF then CR: two line ends, the CR swallows", "A\n\rBC", {"A", "", "C"}},
    {"empty stream", "", {}},
    {"only CR LF", "\r\n", {""}},
    {"CR at the very end", "A\r", {"A"}},
};

TEST(TextStream, AnsiReadLnLineEnds) {
    for (const TLineCase& c : LineCases) {
        TAnsiTextStream stream(OpenBuffer(c.Input));
        QByteArray line = "stale";
        for (const QByteArray& expected : c.Lines) {
            ASSERT_EQ(stream.ReadLn(line), expected.size()) << c.Name;
            EXPECT_EQ(line, expected) << c.Name;
        }
        EXPECT_EQ(stream.ReadLn(line), -1) << c.Name;
        EXPECT_TRUE(line.isEmpty()) << c.Name;
        EXPECT_TRUE(stream.IsEOF()) << c.Name;
    }
}

TEST(TextStream, Utf16ReadLnLineEnds) {
    for (const TLineCase& c : LineCases) {
        TTextStream stream(OpenBuffer(Utf16Le(QString::fromLatin1(c.Input))));
        QString line = "stale";
        for (const QByteArray& expected : c.Lines) {
            ASSERT_EQ(stream.ReadLn(line), expected.size()) << c.Name;
            EXPECT_EQ(line, QString::fromLatin1(expected)) << c.Name;
        }
        EXPECT_EQ(stream.ReadLn(line), -1) << c.Name;
        EXPECT_TRUE(stream.IsEOF()) << c.Name;
    }
}

TEST(TextStream, Utf16LooksAtWholeCharacters) {
    // U+0D0A and U+0A0D hold CR and LF bytes but are no line ends; a lone
    // trailing byte is no character.
    const QString text = QString::fromUtf16(u"\u20AC\u0D0A\u0A0Dz");
    TTextStream stream(OpenBuffer(Utf16Le(text + u"\r\n" + u"x") + QByteArray("\x41", 1)));
    QString line;
    ASSERT_EQ(stream.ReadLn(line), 4);
    EXPECT_EQ(line, text);
    ASSERT_EQ(stream.ReadLn(line), 1);
    EXPECT_EQ(line, "x");
    EXPECT_EQ(stream.ReadLn(line), -1);
}

TEST(TextStream, WriteLnIsOneWriteWithCrLf) {
    struct Case {
        QString Line;
        QByteArray Ansi;
        QByteArray Utf16;
    };
    const Case cases[] = {
        {"", "\r\n", QByteArray("\r\0\n\0", 4)},
        {"ab", "ab\r\n", QByteArray("a\0b\0\r\0\n\0", 8)},
        {QString::fromUtf16(u"\u20AC"), "\x80\r\n", QByteArray("\xAC\x20\r\0\n\0", 6)},
    };
    for (const Case& c : cases) {
        auto* ansiBuffer = new TCountingBuffer;
        ansiBuffer->open(QIODevice::WriteOnly);
        TAnsiTextStream ansi(ansiBuffer);
        const QByteArray ansiLine = c.Line.isEmpty() ? QByteArray() : c.Ansi.chopped(2);
        EXPECT_EQ(ansi.WriteLn(ansiLine), c.Ansi.size());
        EXPECT_EQ(ansiBuffer->data(), c.Ansi);
        EXPECT_EQ(ansiBuffer->Writes, 1);

        auto* wideBuffer = new TCountingBuffer;
        wideBuffer->open(QIODevice::WriteOnly);
        TTextStream wide(wideBuffer);
        EXPECT_EQ(wide.WriteLn(c.Line), c.Utf16.size());
        EXPECT_EQ(wideBuffer->data(), c.Utf16);
        EXPECT_EQ(wideBuffer->Writes, 1);
    }
}

TEST(TextStream, PassesThroughAndOwnsTheStream) {
    QPointer<QBuffer> buffer = OpenBuffer("0123456789", QIODevice::ReadWrite);
    {
        TAnsiTextStream stream(buffer);
        EXPECT_EQ(stream.Stream(), buffer.data());
        EXPECT_TRUE(stream.isOpen());
        EXPECT_EQ(stream.Seek(-3, TSeekOrigin::soEnd), 7);
        char tail[8] = {};
        EXPECT_EQ(stream.Read(tail, 8), 3);
        EXPECT_STREQ(tail, "789");
        EXPECT_TRUE(stream.IsEOF());
        EXPECT_EQ(stream.Seek(2, TSeekOrigin::soBeginning), 2);
        EXPECT_EQ(stream.Seek(1, TSeekOrigin::soCurrent), 3);
        EXPECT_FALSE(stream.IsEOF());
        EXPECT_EQ(stream.Write("ab", 2), 2);
        EXPECT_EQ(stream.Seek(-1, TSeekOrigin::soBeginning), -1);
        EXPECT_EQ(buffer->data(), "012ab56789");
        EXPECT_EQ(stream.size(), 10);
        EXPECT_EQ(stream.pos(), 5);
        // As a QIODevice it reads what the wrapped stream holds.
        EXPECT_EQ(stream.readAll(), "56789");
    }
    EXPECT_TRUE(buffer.isNull());
}

TEST(TextStream, BatchOfLinesOverAFile) {
    testsupport::TTempDir dir;
    const QString path = dir.File("batch.csv");
    {
        auto* file = new QFile(path);
        ASSERT_TRUE(file->open(QIODevice::WriteOnly));
        TAnsiTextStream out(file);
        for (int i = 0; i < 1000; ++i)
            out.WriteLn(QByteArray::number(i));
    }
    auto* file = new QFile(path);
    ASSERT_TRUE(file->open(QIODevice::ReadOnly));
    TAnsiTextStream in(file);
    QByteArray line;
    int count = 0;
    while (in.ReadLn(line) >= 0)
        ASSERT_EQ(line, QByteArray::number(count++));
    EXPECT_EQ(count, 1000);
    EXPECT_EQ(testsupport::ReadFileBytes(path).left(6), "0\r\n1\r\n");
}

} // namespace
