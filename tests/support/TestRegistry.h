#pragma once
// The registry a test gives the code under test, written as the registry
// editor's .reg text. On Linux it is a file in AFolder that
// BREVOLT_REGISTRY names while the object lives; on Windows it is the
// registry itself (the keys SOFTWARE\ORACLE, its WOW6432Node twin and
// SOFTWARE\OrvaneSoftware are removed at the start, replaced by each Write and
// removed at the end; the test's Wine prefix is thrown away). One at a time per process.
#include <QByteArray>
#include <QString>

namespace testsupport {

class TTestRegistry {
public:
    explicit TTestRegistry(const QString& AFolder);
    ~TTestRegistry();
    TTestRegistry(const TTestRegistry&) = delete;
    TTestRegistry& operator=(const TTestRegistry&) = delete;

    // Replaces the registry with ARegText (string values only on Windows).
    void Write(const QString& ARegText) const;
    // Replaces it with the connector's key alone, naming AFolder (as given)
    // its "ServiceDirectory".
    void WriteServiceDirectory(const QString& AFolder) const;
    // The file BREVOLT_REGISTRY names (Linux).
    QString File() const { return FFile; }

private:
    QString FFile;
    QByteArray FOldVariable;
};

} // namespace testsupport
