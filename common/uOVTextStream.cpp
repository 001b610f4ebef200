#include "common/uOVTextStream.h"

#include <QtEndian>

namespace {
// Mode bits the text stream takes over from the wrapped stream; it never
// buffers itself, the wrapped stream (a QFile) does.
QIODevice::OpenMode TextStreamMode(QIODevice::OpenMode AMode) {
    return (AMode & QIODevice::ReadWrite) | QIODevice::Unbuffered;
}

bool IsLineEnd(const char* AChar, int ACharSize, char AEnd) {
    return AChar[0] == AEnd && (ACharSize == 1 || AChar[1] == '\0');
}
} // namespace

TTextStream::TTextStream(QIODevice* AStream) : FStream(AStream) {
    if (FStream && FStream->isOpen())
        QIODevice::open(TextStreamMode(FStream->openMode()));
}

TTextStream::~TTextStream() {
    delete FStream;
}

qint64 TTextStream::Read(char* ABuffer, qint64 ACount) {
    return FStream ? FStream->read(ABuffer, ACount) : -1;
}

qint64 TTextStream::Write(const char* ABuffer, qint64 ACount) {
    return FStream ? FStream->write(ABuffer, ACount) : -1;
}

qint64 TTextStream::Seek(qint64 AOffset, TSeekOrigin AOrigin) {
    if (!FStream)
        return -1;
    qint64 target = AOffset;
    if (AOrigin == TSeekOrigin::soCurrent)
        target += FStream->pos();
    else if (AOrigin == TSeekOrigin::soEnd)
        target += FStream->size();
    return target >= 0 && FStream->seek(target) ? FStream->pos() : -1;
}

qint64 TTextStream::ReadLineBytes(QByteArray& ALine, int ACharSize) {
    ALine.clear();
    char ch[2];
    if (Read(ch, ACharSize) != ACharSize)
        return -1;
    qint64 count = 0;
    while (!IsLineEnd(ch, ACharSize, '\r') && !IsLineEnd(ch, ACharSize, '\n')) {
        ALine.append(ch, ACharSize);
        ++count;
        if (Read(ch, ACharSize) != ACharSize)
            return count;
    }
    // The LF of a CR LF pair; whatever follows a CR is taken unseen.
    if (IsLineEnd(ch, ACharSize, '\r'))
        Read(ch, ACharSize);
    return count;
}

qint64 TTextStream::ReadLn(QString& ABuffer) {
    QByteArray raw;
    const qint64 count = ReadLineBytes(raw, 2);
    ABuffer.resize(count > 0 ? count : 0);
    for (qint64 i = 0; i < count; ++i)
        ABuffer[i] = QChar(qFromLittleEndian<quint16>(raw.constData() + 2 * i));
    return count;
}

qint64 TTextStream::WriteLn(const QString& ABuffer) {
    QByteArray bytes(2 * (ABuffer.size() + 2), Qt::Uninitialized);
    char* out = bytes.data();
    for (QChar c : ABuffer) {
        qToLittleEndian<quint16>(c.unicode(), out);
        out += 2;
    }
    qToLittleEndian<quint16>('\r', out);
    qToLittleEndian<quint16>('\n', out + 2);
    return Write(bytes.constData(), bytes.size());
}

bool TTextStream::IsEOF() const {
    return !FStream || FStream->pos() == FStream->size();
}

bool TTextStream::open(OpenMode AMode) {
    if (!FStream)
        return false;
    if (!FStream->isOpen() && !FStream->open(AMode))
        return false;
    return QIODevice::open(TextStreamMode(FStream->openMode()));
}

void TTextStream::close() {
    QIODevice::close();
    if (FStream)
        FStream->close();
}

bool TTextStream::isSequential() const {
    return FStream && FStream->isSequential();
}

qint64 TTextStream::pos() const {
    return FStream ? FStream->pos() : 0;
}

qint64 TTextStream::size() const {
    return FStream ? FStream->size() : 0;
}

bool TTextStream::seek(qint64 APos) {
    return FStream && FStream->seek(APos) && QIODevice::seek(APos);
}

bool TTextStream::atEnd() const {
    return !FStream || FStream->atEnd();
}

qint64 TTextStream::readData(char* AData, qint64 AMaxSize) {
    return Read(AData, AMaxSize);
}

qint64 TTextStream::writeData(const char* AData, qint64 AMaxSize) {
    return Write(AData, AMaxSize);
}

qint64 TAnsiTextStream::ReadLn(QByteArray& ABuffer) {
    return ReadLineBytes(ABuffer, 1);
}

qint64 TAnsiTextStream::WriteLn(const QByteArray& ABuffer) {
    QByteArray bytes;
    bytes.reserve(ABuffer.size() + 2);
    bytes.append(ABuffer).append("\r\n", 2);
    return Write(bytes.constData(), bytes.size());
}
