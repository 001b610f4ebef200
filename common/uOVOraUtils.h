#pragma once
// Finds the Oracle client's tnsnames.ora and the connect descriptor of a net
// service alias in it.
//
// Where tnsnames.ora is, first rule that applies:
//   1. the folder named by the environment variable TNS_ADMIN;
//   2. the folder named by the value "TNS_ADMIN" under the chosen Oracle key
//      (the last KEY_<home> under SOFTWARE\ORACLE);
//   3. with "ORACLE_BASE": <base>/<home name>/NETWORK/ADMIN (or network/admin);
//   4. with "ORACLE_HOME" only: <home>/NETWORK/ADMIN (or network/admin).
// A names.default_domain in sqlnet.ora beside the file lets an alias without
// a domain also match <alias>.<domain>; IFILE lines are followed.
#include <QString>

namespace uOVOraUtils {

// The Oracle base folder and the Oracle home name (the registry key under
// SOFTWARE\ORACLE without its "KEY_"). Without "ORACLE_BASE", the base is the
// key's "ORACLE_HOME" as it stands. Raises Exception on failure.
void GetOracleBase(QString& AOracleBase, QString& AVersion);

// The tnsnames.ora the rules above choose, with '/' separators: the first
// candidate that exists, else the first candidate. Empty when the Oracle
// base (or home) is empty. Raises Exception when the registry fails.
QString TNSNamesPath();

// The parenthesised descriptor of AAlias (letter case ignored) with its line
// breaks removed. Raises Exception when the file or the alias is missing; a
// missing file's message names every file tried and where its folder came
// from.
QString TNSNamesConnectString(const QString& AAlias);

// The descriptor search alone, over the text of a tnsnames.ora file (IFILE
// lines are passed over, not followed); empty when the alias has no entry.
QString FindTNSNamesEntry(const QString& AFileText, const QString& AAlias);

// How deep IFILE lines are followed: the main file is level 0, the files it
// includes level 1, and so on down to this level. A file is read once, so a
// loop of IFILE lines ends.
constexpr int MaxIncludeDepth = 3;

} // namespace uOVOraUtils
