#pragma once
// Line readers and writers on top of any byte stream: TTextStream for 16-bit
// text (UTF-16 little-endian), TAnsiTextStream for one byte per character.
// Lines end with CR LF on write; on read a line ends at CR, LF or CR LF.
#include <QByteArray>
#include <QIODevice>
#include <QString>

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TTextStream : public QIODevice {
    Q_OBJECT
public:
    // Wraps AStream and takes ownership of it. When AStream is open, the text
    // stream is opened in the same mode; otherwise open() opens both.
    explicit TTextStream(QIODevice* AStream);
    ~TTextStream() override;
    TTextStream(const TTextStream&) = delete;
    TTextStream& operator=(const TTextStream&) = delete;

    // Straight to the wrapped stream; its results are returned as they are.
    qint64 Read(char* ABuffer, qint64 ACount);
    qint64 Write(const char* ABuffer, qint64 ACount);
    // The new position, or -1 when the wrapped stream cannot seek there.
    qint64 Seek(qint64 AOffset, TSeekOrigin AOrigin);

    // One line into ABuffer; its length in characters, or -1 at the end.
    qint64 ReadLn(QString& ABuffer);
    // ABuffer and CR LF in one write; the number of bytes written.
    qint64 WriteLn(const QString& ABuffer);

    bool IsEOF() const;
    QIODevice* Stream() const { return FStream; }

    // QIODevice, so that the text stream can stand where a device is expected.
    bool open(OpenMode AMode) override;
    void close() override;
    bool isSequential() const override;
    qint64 pos() const override;
    qint64 size() const override;
    bool seek(qint64 APos) override;
    bool atEnd() const override;

protected:
    qint64 readData(char* AData, qint64 AMaxSize) override;
    qint64 writeData(const char* AData, qint64 AMaxSize) override;

    // Reads characters of ACharSize bytes up to the line end into ALine (raw
    // bytes); the number of characters, or -1 when not one could be read.
    qint64 ReadLineBytes(QByteArray& ALine, int ACharSize);

private:
    QIODevice* FStream;
};

class TAnsiTextStream : public TTextStream {
    Q_OBJECT
public:
    using TTextStream::TTextStream;

    // The same contract with 8-bit characters; the caller converts its text.
    qint64 ReadLn(QByteArray& ABuffer);
    qint64 WriteLn(const QByteArray& ABuffer);
};
