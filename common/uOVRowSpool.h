#pragma once
// Rows of a query result in an unnamed temporary file: written once, then
// read back in order as often as needed. Memory stays at one buffer of rows
// whatever the number of rows, so a caller can know the exact row count
// before its first row without holding the result.
#include <memory>
#include <QStringView>
#include <QVariant>
#include <QVector>
#include <vector>

class QTemporaryFile;

class TRowSpool {
public:
    // Creates the file (in the system's temporary folder; owner only).
    // Raises EInOutError.
    TRowSpool();
    ~TRowSpool();
    TRowSpool(const TRowSpool&) = delete;
    TRowSpool& operator=(const TRowSpool&) = delete;

    // Appends one row; raises EInOutError when the file cannot be written.
    void Append(const QVector<QVariant>& ARow);
    qsizetype Count() const { return FCount; }

    // Back to the first row (ends the writing).
    void Rewind();
    // Moves to the next row; false after the last. Raises EInOutError.
    bool Next();

    // The values of the current row, readable until Next or Rewind: a
    // non-null text where it lies, anything else as a QVariant.
    int Columns() const { return int(FValues.size()); }
    bool IsText(int AIndex) const;
    QStringView Text(int AIndex) const;
    QVariant Value(int AIndex) const;

private:
    // Writing: room for ABytes more at FBuffer[FEnd].
    char* Room(qsizetype ABytes);
    void PutValue(const QVariant& AValue);
    void Flush();
    // Reading: makes at least ABytes unread bytes available; false at the end.
    bool Fill(qsizetype ABytes);

    std::unique_ptr<QTemporaryFile> FFile;
    // Writing: the rows not yet written, [0, FEnd). Reading: the bytes read
    // ahead, [FPos, FEnd), the current row first.
    std::vector<char> FBuffer;
    qsizetype FPos = 0;
    qsizetype FEnd = 0;
    qsizetype FRowBytes = 0;
    std::vector<qsizetype> FValues; // where each value of the current row lies
    qsizetype FCount = 0;
    qsizetype FRead = 0;
    bool FWriting = true;
};
