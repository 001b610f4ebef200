#include "common/uOVRowSpool.h"

#include "common/uOVException.h"

#include <cstring>
#include <QByteArray>
#include <QDataStream>
#include <QTemporaryFile>

namespace {

// Rows go to and come from the file in chunks of about this size.
constexpr qsizetype ChunkBytes = 256 * 1024;

// A row: its byte count (quint32) and value count (qint32), then per value
// a head of 8 bytes, a kind (quint8) and the value's type id (qint32), and
// the data of its kind. Sizes stay even, so that a text read in place lies
// on a QChar boundary. The file lives only as long as the process, so
// everything is in the machine's byte order.
enum TKind : quint8 { NullKind, IntegerKind, RealKind, TextKind, StreamedKind };
constexpr qsizetype RowHead = 8;
constexpr qsizetype ValueHead = 8;

struct THead {
    quint8 Kind;
    qint32 Type;
};

template <typename T> void Put(char* APos, const T& AValue) {
    std::memcpy(APos, &AValue, sizeof(T));
}

template <typename T> T Get(const char* APos) {
    T value;
    std::memcpy(&value, APos, sizeof(T));
    return value;
}

char* PutHead(char* APos, TKind AKind, qint32 AType) {
    std::memset(APos, 0, ValueHead);
    Put(APos, quint8(AKind));
    Put(APos + 4, AType);
    return APos + ValueHead;
}

THead GetHead(const char* APos) {
    return {Get<quint8>(APos), Get<qint32>(APos + 4)};
}

// Bytes of a value with its head; AData points behind the head.
qsizetype ValueBytes(quint8 AKind, const char* AData) {
    switch (AKind) {
    case NullKind:
        return ValueHead;
    case IntegerKind:
    case RealKind:
        return ValueHead + 8;
    case TextKind:
        return ValueHead + 4 + Get<qint32>(AData) * qsizetype(sizeof(QChar));
    default:
        return ValueHead + 4 + ((Get<qint32>(AData) + 1) & ~1);
    }
}

EInOutError WriteError(const QTemporaryFile& AFile) {
    return EInOutError(QStringLiteral("Cannot write the query result to a temporary file: ") +
                       AFile.errorString());
}

EInOutError ReadError(const QString& AReason) {
    return EInOutError(QStringLiteral("Cannot read the query result back: ") + AReason);
}

} // namespace

TRowSpool::TRowSpool() : FFile(std::make_unique<QTemporaryFile>()), FBuffer(ChunkBytes * 2) {
    // Unnamed where the system allows it, so that nothing is left behind.
    if (!FFile->open())
        throw EInOutError(QStringLiteral("Cannot create a temporary file for the query result: ") +
                          FFile->errorString());
}

TRowSpool::~TRowSpool() = default;

char* TRowSpool::Room(qsizetype ABytes) {
    if (FEnd + ABytes > qsizetype(FBuffer.size()))
        FBuffer.resize(std::max(FBuffer.size() * 2, size_t(FEnd + ABytes)));
    char* at = FBuffer.data() + FEnd;
    FEnd += ABytes;
    return at;
}

void TRowSpool::PutValue(const QVariant& AValue) {
    const qint32 type = AValue.typeId();
    if (AValue.isNull()) {
        PutHead(Room(ValueHead), NullKind, type);
        return;
    }
    switch (type) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Bool:
        Put(PutHead(Room(ValueHead + 8), IntegerKind, type),
            type == QMetaType::ULongLong ? qint64(AValue.toULongLong()) : AValue.toLongLong());
        return;
    case QMetaType::Double:
        Put(PutHead(Room(ValueHead + 8), RealKind, type), AValue.toDouble());
        return;
    case QMetaType::QString: {
        const auto& text = *static_cast<const QString*>(AValue.constData());
        const qsizetype bytes = text.size() * qsizetype(sizeof(QChar));
        char* at = PutHead(Room(ValueHead + 4 + bytes), TextKind, type);
        Put(at, qint32(text.size()));
        std::memcpy(at + 4, text.constData(), size_t(bytes));
        return;
    }
    default: {
        // Date-times, byte arrays and the like: rare enough for the stream.
        QByteArray bytes;
        QDataStream stream(&bytes, QIODevice::WriteOnly);
        stream << AValue;
        const qsizetype padded = (bytes.size() + 1) & ~1;
        char* at = PutHead(Room(ValueHead + 4 + padded), StreamedKind, type);
        Put(at, qint32(bytes.size()));
        std::memset(at + 4, 0, size_t(padded));
        std::memcpy(at + 4, bytes.constData(), size_t(bytes.size()));
        return;
    }
    }
}

void TRowSpool::Append(const QVector<QVariant>& ARow) {
    const qsizetype start = FEnd;
    Put(Room(RowHead) + 4, qint32(ARow.size()));
    for (const QVariant& value : ARow)
        PutValue(value);
    Put(FBuffer.data() + start, quint32(FEnd - start - 4));
    ++FCount;
    if (FEnd >= ChunkBytes)
        Flush();
}

void TRowSpool::Flush() {
    if (FEnd > 0 && FFile->write(FBuffer.data(), FEnd) != FEnd)
        throw WriteError(*FFile);
    FEnd = 0;
}

void TRowSpool::Rewind() {
    if (FWriting) {
        Flush();
        if (!FFile->flush())
            throw WriteError(*FFile);
        FWriting = false;
    }
    if (!FFile->seek(0))
        throw ReadError(FFile->errorString());
    FPos = 0;
    FEnd = 0;
    FRowBytes = 0;
    FValues.clear();
    FRead = 0;
}

bool TRowSpool::Fill(qsizetype ABytes) {
    if (FEnd - FPos >= ABytes)
        return true;
    // The unread rest to the front, then as much as fits behind it.
    const qsizetype rest = FEnd - FPos;
    std::memmove(FBuffer.data(), FBuffer.data() + FPos, size_t(rest));
    FPos = 0;
    FEnd = rest;
    if (qsizetype(FBuffer.size()) < std::max(ABytes, ChunkBytes))
        FBuffer.resize(size_t(std::max(ABytes, ChunkBytes)));
    while (FEnd < ABytes) {
        const qint64 got = FFile->read(FBuffer.data() + FEnd, qsizetype(FBuffer.size()) - FEnd);
        if (got < 0)
            throw ReadError(FFile->errorString());
        if (got == 0)
            return false;
        FEnd += got;
    }
    return true;
}

bool TRowSpool::Next() {
    if (FWriting)
        Rewind();
    FPos += FRowBytes;
    FRowBytes = 0;
    FValues.clear();
    if (FRead >= FCount)
        return false;
    if (!Fill(RowHead) || !Fill(4 + qsizetype(Get<quint32>(FBuffer.data() + FPos))))
        throw ReadError(QStringLiteral("the file ends early"));
    FRowBytes = 4 + qsizetype(Get<quint32>(FBuffer.data() + FPos));
    const qint32 columns = Get<qint32>(FBuffer.data() + FPos + 4);
    qsizetype at = FPos + RowHead;
    for (qint32 i = 0; i < columns; ++i) {
        FValues.push_back(at);
        at += ValueBytes(GetHead(FBuffer.data() + at).Kind, FBuffer.data() + at + ValueHead);
    }
    ++FRead;
    return true;
}

bool TRowSpool::IsText(int AIndex) const {
    return GetHead(FBuffer.data() + FValues[AIndex]).Kind == TextKind;
}

QStringView TRowSpool::Text(int AIndex) const {
    const char* data = FBuffer.data() + FValues[AIndex] + ValueHead;
    return QStringView(reinterpret_cast<const QChar*>(data + 4), Get<qint32>(data));
}

QVariant TRowSpool::Value(int AIndex) const {
    const char* at = FBuffer.data() + FValues[AIndex];
    const THead head = GetHead(at);
    const char* data = at + ValueHead;
    switch (head.Kind) {
    case NullKind:
        return QVariant(QMetaType(head.Type));
    case IntegerKind: {
        const auto v = Get<qint64>(data);
        switch (head.Type) {
        case QMetaType::Int:
            return QVariant(int(v));
        case QMetaType::UInt:
            return QVariant(uint(v));
        case QMetaType::ULongLong:
            return QVariant(qulonglong(v));
        case QMetaType::Bool:
            return QVariant(v != 0);
        default:
            return QVariant(qlonglong(v));
        }
    }
    case RealKind:
        return QVariant(Get<double>(data));
    case TextKind:
        return QVariant(Text(AIndex).toString());
    default: {
        QByteArray bytes = QByteArray::fromRawData(data + 4, Get<qint32>(data));
        QDataStream stream(&bytes, QIODevice::ReadOnly);
        QVariant value;
        stream >> value;
        return value;
    }
    }
}
