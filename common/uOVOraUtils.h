#pragma once
// Finds the Oracle client through the registry and the connect descriptor
// of a net service alias in the client's tnsnames.ora.
#include <QString>

namespace uOVOraUtils {

// The Oracle base folder and the Oracle home name (the registry key under
// SOFTWARE\ORACLE without its "KEY_"). Raises Exception on failure.
void GetOracleBase(QString& AOracleBase, QString& AVersion);

// <OracleBase>/<version>/NETWORK/ADMIN/tnsnames.ora, with '/' separators;
// when only network/admin/tnsnames.ora exists in lower case, that one. Empty
// when the Oracle base is empty.
QString TNSNamesPath();

// The parenthesised descriptor of AAlias (letter case ignored) with its line
// breaks removed. Raises Exception when the file or the alias is missing.
QString TNSNamesConnectString(const QString& AAlias);

// The descriptor search alone, over the text of a tnsnames.ora file; empty
// when the alias has no entry.
QString FindTNSNamesEntry(const QString& AFileText, const QString& AAlias);

} // namespace uOVOraUtils
