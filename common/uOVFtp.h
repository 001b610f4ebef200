#pragma once
// FTP client of the service's upload and the utility's connection test:
// plain FTP or explicit FTPS, passive mode (PASV over IPv4, EPSV over IPv6),
// ASCII transfers, log-in right after connecting. IPv4 is used unless the
// host is an IPv6 address or its name has IPv6 addresses only. One
// connection at a time; not shared between threads.
#include "common/uOVException.h"

#include <QIODevice>
#include <QString>
#include <QStringList>

OV_DECLARE_EXCEPTION(EOVFtpError, Exception);
// The server answered a command with a refusal (a 4xx or 5xx reply); the
// message is the server's reply line.
OV_DECLARE_EXCEPTION(EOVFtpRefused, EOVFtpError);

class TOVFtpClient {
public:
    TOVFtpClient();
    ~TOVFtpClient();
    TOVFtpClient(const TOVFtpClient&) = delete;
    TOVFtpClient& operator=(const TOVFtpClient&) = delete;

    // "host", "host:port", an IPv6 address, or "[IPv6 address]:port"; the
    // port is 21 unless given.
    QString Host;
    QString Username;
    QString Password;
    // Limit for reaching the server and logging in, in milliseconds.
    int ConnectTimeout = 30000;
    // Longest wait without progress: no reply, no data moving (milliseconds,
    // applied in whole seconds, rounded up).
    // For the tests, a positive whole number in the environment variable
    // BREVOLT_FTP_READ_TIMEOUT_MS replaces this default.
    int ReadTimeout = 60000;
    // Explicit FTPS: AUTH TLS before the log-in, protected data connections,
    // the server's certificate verified against the system's trust store
    // (SSL_CERT_FILE / SSL_CERT_DIR name another one); never clear text.
    bool UseTLS = false;

    // Connects and logs in; raises EOVFtpError (with the server's reply when
    // it refused) and leaves the client disconnected on failure.
    void Connect();
    bool Connected() const { return FConnected; }
    // Uploads ASource from its current position to its end as ADestFile in
    // the log-in directory, replacing a file of that name. Line ends go out
    // as CR LF, each line once, whatever the source uses. Raises EOVFtpError,
    // EOVFtpRefused when the server refused the upload; what a refused upload
    // left on the server is deleted (best effort).
    // Here and below, a name holding CR, LF or NUL raises EOVFtpError before
    // anything is sent.
    void Put(QIODevice& ASource, const QString& ADestFile);
    // Renames AFrom to ATo in the log-in directory (RNFR, then RNTO); servers
    // that allow it replace an existing ATo. Raises EOVFtpRefused when the
    // server refuses either command, EOVFtpError when the connection fails.
    // libcurl drops the connection after a refusal; the next call logs in
    // again by itself.
    void Rename(const QString& AFrom, const QString& ATo);
    // Deletes AName in the log-in directory (DELE). Raises like Rename.
    void Delete(const QString& AName);
    // Whether the last Put sent its STOR command (reset by each Put and by
    // Connect): from then on the server may hold part or all of the file.
    bool StorSent() const { return FStorSent; }
    // Logs out and closes; never raises.
    void Disconnect() noexcept;

    // The host part of Host (an IPv6 address without its brackets) and the
    // port it names (21 when it names none).
    static void SplitHost(const QString& AHost, QString& AName, int& APort);
    // The last reply line the server sent; empty before the first one.
    const QString& LastReply() const { return FLastReply; }

private:
    // Sends ACommands one after the other on the log-in directory; the first
    // refusal ends them.
    void SendCommands(const QStringList& ACommands);
    // A new handle for FBaseUrl, logged in with AResolve (a CURL_IPRESOLVE_
    // value); answers the CURLcode, with the error text in AErrors.
    int LogIn(long AResolve, char* AErrors);

    void* FCurl = nullptr;
    bool FConnected = false;
    bool FStorSent = false;
    QString FLastReply;
    QString FBaseUrl;
};
