#pragma once
// FTP client of the service's upload and the utility's connection test:
// plain FTP over IPv4, passive mode (PASV), ASCII transfers, log-in right
// after connecting. One connection at a time; not shared between threads.
#include "common/uOVException.h"

#include <QIODevice>
#include <QString>

OV_DECLARE_EXCEPTION(EOVFtpError, Exception);

class TOVFtpClient {
public:
    TOVFtpClient();
    ~TOVFtpClient();
    TOVFtpClient(const TOVFtpClient&) = delete;
    TOVFtpClient& operator=(const TOVFtpClient&) = delete;

    // "host" or "host:port"; the port is 21 unless given.
    QString Host;
    QString Username;
    QString Password;
    // Limit for reaching the server and logging in, in milliseconds.
    int ConnectTimeout = 30000;
    // Longest wait without progress: no reply, no data moving (milliseconds).
    int ReadTimeout = 60000;

    // Connects and logs in; raises EOVFtpError (with the server's reply when
    // it refused) and leaves the client disconnected on failure.
    void Connect();
    bool Connected() const { return FConnected; }
    // Uploads ASource from its current position to its end as ADestFile in
    // the log-in directory, replacing a file of that name. Line ends go out
    // as CR LF, each line once, whatever the source uses. Raises EOVFtpError.
    void Put(QIODevice& ASource, const QString& ADestFile);
    // Logs out and closes; never raises.
    void Disconnect() noexcept;

    // The host part of Host and the port it names (21 when it names none).
    static void SplitHost(const QString& AHost, QString& AName, int& APort);
    // The last reply line the server sent; empty before the first one.
    const QString& LastReply() const { return FLastReply; }

private:
    void* FCurl = nullptr;
    bool FConnected = false;
    QString FLastReply;
    QString FBaseUrl;
};
