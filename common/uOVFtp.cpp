#include "common/uOVFtp.h"

#include "common/uOVCodePage.h"
#include "common/uOVCurl.h"
#include "common/uOVLogging.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <QUrl>
#include <vector>

namespace {

const QString AreaConnect = QStringLiteral("TOVFtpClient.Connect");
const QString AreaPut = QStringLiteral("TOVFtpClient.Put");
const QString AreaRename = QStringLiteral("TOVFtpClient.Rename");
const QString AreaDelete = QStringLiteral("TOVFtpClient.Delete");
const QString AreaReply = QStringLiteral("TOVFtpClient");

// Bytes read from the source at a time: libcurl's upload buffer size.
constexpr size_t SourceReadSize = 64 * 1024;

// The source of an upload, turned into NVT text on the way: every line end
// (CR LF or a bare LF) goes out as exactly one CR LF. libcurl is left in
// binary mode, because its own ASCII conversion differs between versions
// (some double the CR of a CR LF).
class TUploadSource {
public:
    explicit TUploadSource(QIODevice& ADevice) : FDevice(ADevice) {}

    // Fills ABuffer with up to ARoom bytes; 0 at the end of the source,
    // CURL_READFUNC_ABORT when it cannot be read (Error says why).
    size_t Fill(char* ABuffer, size_t ARoom);
    const QString& Error() const { return FError; }

private:
    QIODevice& FDevice;
    // Read from the device and not yet handed on: large reads and whole
    // spans between line ends copied at once keep the upload at the speed
    // of the connection.
    std::vector<char> FData;
    size_t FPos = 0;
    size_t FEnd = 0;
    bool FPrevCR = false;
    QString FError;
};

size_t TUploadSource::Fill(char* ABuffer, size_t ARoom) {
    size_t out = 0;
    while (out < ARoom) {
        if (FPos == FEnd) {
            if (FData.empty())
                FData.resize(SourceReadSize);
            const qint64 got = FDevice.read(FData.data(), qint64(FData.size()));
            if (got < 0) {
                FError = FDevice.errorString();
                return CURL_READFUNC_ABORT;
            }
            if (got == 0)
                break;
            FPos = 0;
            FEnd = size_t(got);
        }
        const char* from = FData.data() + FPos;
        const auto* lf = static_cast<const char*>(std::memchr(from, '\n', FEnd - FPos));
        const size_t span = std::min(size_t((lf ? lf : FData.data() + FEnd) - from), ARoom - out);
        if (span > 0) {
            std::memcpy(ABuffer + out, from, span);
            out += span;
            FPos += span;
            FPrevCR = from[span - 1] == '\r';
            continue;
        }
        // At a line feed; a bare one is given its CR.
        if (ARoom - out < (FPrevCR ? 1u : 2u))
            break;
        if (!FPrevCR)
            ABuffer[out++] = '\r';
        ABuffer[out++] = '\n';
        ++FPos;
        FPrevCR = false;
    }
    return out;
}

size_t ReadUpload(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
    return static_cast<TUploadSource*>(AUser)->Fill(ABuffer, ASize * ACount);
}

size_t DiscardData(char*, size_t ASize, size_t ACount, void*) {
    return ASize * ACount;
}

size_t KeepReply(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
    const size_t len = ASize * ACount;
    const QString line = uOVCodePage::FromServerText(QByteArray(ABuffer, qsizetype(len))).trimmed();
    if (!line.isEmpty()) {
        *static_cast<QString*>(AUser) = line;
        uOVLogging::log(9, QStringLiteral("     ftp: ") + line, uOVLogging::LOG_INFO, AreaReply);
    }
    return len;
}

// The reason of a failed transfer: the server's refusal in its own words,
// otherwise libcurl's description.
bool IsRefusal(const QString& AReply) {
    return AReply.size() >= 3 && (AReply[0] == QLatin1Char('4') || AReply[0] == QLatin1Char('5')) &&
           AReply[1].isDigit() && AReply[2].isDigit();
}

QString FailureText(CURLcode ACode, const char* AErrors, const QString& AReply) {
    if (IsRefusal(AReply))
        return AReply;
    return QString::fromLocal8Bit(*AErrors ? AErrors : curl_easy_strerror(ACode));
}

struct TSList {
    curl_slist* List = nullptr;
    ~TSList() { curl_slist_free_all(List); }
};

// Notes when the STOR command goes out: from then on the server may hold
// part or all of the file. A header going out is one command line.
int WatchCommands(CURL*, curl_infotype AType, char* AData, size_t ASize, void* AUser) {
    if (AType == CURLINFO_HEADER_OUT && ASize >= 5 && std::memcmp(AData, "STOR ", 5) == 0)
        *static_cast<bool*>(AUser) = true;
    return 0;
}

// A file name goes into a command line as it is, so a line break or NUL in
// it would let it write commands of its own.
void CheckRemoteName(const QString& AName) {
    QString shown = AName;
    shown.replace(QLatin1Char('\r'), QStringLiteral("\\r"))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"))
        .replace(QChar(0), QStringLiteral("\\0"));
    if (shown != AName)
        throw EOVFtpError(QStringLiteral("The file name \"") + shown +
                          QStringLiteral("\" holds a line break or a NUL"));
}

} // namespace

TOVFtpClient::TOVFtpClient() {
    uOVCurl::GlobalInit();
    // Tests shorten the wait for replies that never come.
    if (const char* text = std::getenv("BREVOLT_FTP_READ_TIMEOUT_MS")) {
        bool ok = false;
        const int ms = QByteArray(text).toInt(&ok);
        if (ok && ms > 0)
            ReadTimeout = ms;
    }
}

TOVFtpClient::~TOVFtpClient() {
    Disconnect();
}

void TOVFtpClient::SplitHost(const QString& AHost, QString& AName, int& APort) {
    AName = AHost.trimmed();
    APort = 21;
    const auto portOf = [](QStringView AText, int& APortOut) {
        bool ok = false;
        const int port = AText.toInt(&ok);
        if (!ok || port <= 0 || port >= 65536)
            return false;
        APortOut = port;
        return true;
    };
    // "[address]" or "[address]:port": an IPv6 address with its brackets.
    if (AName.startsWith(QLatin1Char('['))) {
        const qsizetype close = AName.indexOf(QLatin1Char(']'));
        if (close < 0)
            return;
        const QStringView rest = QStringView(AName).mid(close + 1);
        if (rest.isEmpty() || (rest.startsWith(QLatin1Char(':')) && portOf(rest.mid(1), APort)))
            AName = AName.mid(1, close - 1);
        return;
    }
    // More than one colon: a bare IPv6 address, which names no port.
    const qsizetype colon = AName.lastIndexOf(QLatin1Char(':'));
    if (colon < 0 || AName.indexOf(QLatin1Char(':')) != colon)
        return;
    if (portOf(QStringView(AName).mid(colon + 1), APort))
        AName.truncate(colon);
}

namespace {

// The message of a failed log-in: TLS problems in words an administrator
// can act on, otherwise the server's refusal or libcurl's description.
QString ConnectFailureText(CURLcode ACode, const char* AErrors, const QString& AReply) {
    const QString detail = QString::fromLocal8Bit(*AErrors ? AErrors : curl_easy_strerror(ACode));
    switch (ACode) {
    case CURLE_USE_SSL_FAILED:
        return QStringLiteral("The FTP server offered no TLS (AUTH TLS), which the settings "
                              "require; nothing was sent: ") +
               (AReply.isEmpty() ? detail : AReply);
    case CURLE_PEER_FAILED_VERIFICATION:
        return QStringLiteral("The FTP server's certificate could not be verified: ") + detail;
    case CURLE_SSL_CACERT_BADFILE:
        return QStringLiteral("The trusted certificates could not be read: ") + detail;
    default:
        return FailureText(ACode, AErrors, AReply);
    }
}

} // namespace

void TOVFtpClient::Connect() {
    Disconnect();
    FStorSent = false;
    QString name;
    int port = 21;
    SplitHost(Host, name, port);
    if (name.isEmpty())
        throw EOVFtpError(QStringLiteral("No FTP server given"));
    const bool v6Address = name.contains(QLatin1Char(':'));
    const QString shownHost = v6Address ? QLatin1Char('[') + name + QLatin1Char(']') : name;
    uOVLogging::log(9,
                    QStringLiteral("Connecting to ") + shownHost + QLatin1Char(':') +
                        QString::number(port) + (UseTLS ? QStringLiteral(" (FTPS)") : QString()) +
                        QStringLiteral(" as \"") + Username + QStringLiteral("\""),
                    uOVLogging::LOG_INFO, AreaConnect);
    FBaseUrl = QStringLiteral("ftp://") + shownHost + QLatin1Char(':') + QString::number(port) +
               QLatin1Char('/');

    // IPv4 as before; a name that has no IPv4 address is tried over IPv6.
    char errors[CURL_ERROR_SIZE] = {};
    auto rc =
        static_cast<CURLcode>(LogIn(v6Address ? CURL_IPRESOLVE_V6 : CURL_IPRESOLVE_V4, errors));
    if (rc == CURLE_COULDNT_RESOLVE_HOST && !v6Address) {
        errors[0] = '\0';
        rc = static_cast<CURLcode>(LogIn(CURL_IPRESOLVE_V6, errors));
    }
    if (rc != CURLE_OK) {
        const QString text = ConnectFailureText(rc, errors, FLastReply);
        const QString reply = FLastReply;
        Disconnect();
        FLastReply = reply;
        throw EOVFtpError(text);
    }
    FConnected = true;
}

int TOVFtpClient::LogIn(long AResolve, char* AErrors) {
    if (FCurl)
        curl_easy_cleanup(static_cast<CURL*>(FCurl));
    CURL* curl = curl_easy_init();
    FCurl = curl;
    if (!curl)
        throw EOVFtpError(QStringLiteral("The FTP client could not be created"));
    const QByteArray user = uOVCodePage::ToAnsi(Username);
    const QByteArray password = uOVCodePage::ToAnsi(Password);
    const long readSecs = qMax(1, (ReadTimeout + 999) / 1000);
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password.constData());
    curl_easy_setopt(curl, CURLOPT_IPRESOLVE, AResolve);
    // PASV over IPv4; libcurl takes EPSV on an IPv6 connection by itself.
    curl_easy_setopt(curl, CURLOPT_FTP_USE_EPSV, 0L);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(qMax(1, ConnectTimeout)));
    // Bounds every wait for a reply, the final one after an upload's data too
    // (libcurl would give that one a minute of its own).
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, readSecs);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, readSecs);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &KeepReply);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &FLastReply);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &DiscardData);
    if (UseTLS) {
        // Required for the control and the data connections: a server (or
        // someone in between) that offers no TLS gets neither the password
        // nor the customers.
        curl_easy_setopt(curl, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
        curl_easy_setopt(curl, CURLOPT_FTPSSLAUTH, long(CURLFTPAUTH_TLS));
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        uOVCurl::SetTrustStore(curl);
    }

    // Log in on the log-in directory without transferring anything; the
    // connection stays open for the uploads that follow.
    const QByteArray url = FBaseUrl.toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, AErrors);
    FLastReply.clear();
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    return rc;
}

void TOVFtpClient::Put(QIODevice& ASource, const QString& ADestFile) {
    FStorSent = false;
    if (!FConnected || !FCurl)
        throw EOVFtpError(QStringLiteral("Not connected to an FTP server"));
    CheckRemoteName(ADestFile);
    if (!ASource.isReadable())
        throw EOVFtpError(QStringLiteral("The file to upload cannot be read"));
    CURL* curl = static_cast<CURL*>(FCurl);
    const QByteArray url =
        FBaseUrl.toUtf8() + QUrl::toPercentEncoding(ADestFile, QByteArrayLiteral("!&()[]_{}~"));
    uOVLogging::log(9, QStringLiteral("Uploading ") + ADestFile, uOVLogging::LOG_INFO, AreaPut);

    // ASCII type, sent by hand right before STOR (see TUploadSource).
    TSList prequote;
    prequote.List = curl_slist_append(nullptr, "TYPE A");
    TUploadSource source(ASource);
    char errors[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_TRANSFERTEXT, 0L);
    curl_easy_setopt(curl, CURLOPT_PREQUOTE, prequote.List);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &source);
    // The debug callback is called only when verbose; it prints nothing.
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &WatchCommands);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &FStorSent);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errors);
    FLastReply.clear();
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_PREQUOTE, nullptr);
    curl_easy_setopt(curl, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
    if (rc == CURLE_OK)
        return;
    if (!source.Error().isEmpty())
        throw EOVFtpError(QStringLiteral("Reading the file to upload failed: ") + source.Error());
    const QString text = FailureText(rc, errors, FLastReply);
    if (FStorSent && IsRefusal(FLastReply)) {
        // Refused on the way (quota, full disk): what arrived is no whole
        // file and must not stay behind. The refusal is what gets told.
        try {
            Delete(ADestFile);
        } catch (...) {
        }
        FLastReply = text;
        throw EOVFtpRefused(text);
    }
    throw EOVFtpError(text);
}

void TOVFtpClient::Rename(const QString& AFrom, const QString& ATo) {
    CheckRemoteName(AFrom);
    CheckRemoteName(ATo);
    uOVLogging::log(9, QStringLiteral("Renaming ") + AFrom + QStringLiteral(" to ") + ATo,
                    uOVLogging::LOG_INFO, AreaRename);
    SendCommands({QStringLiteral("RNFR ") + AFrom, QStringLiteral("RNTO ") + ATo});
}

void TOVFtpClient::Delete(const QString& AName) {
    CheckRemoteName(AName);
    uOVLogging::log(9, QStringLiteral("Deleting ") + AName, uOVLogging::LOG_INFO, AreaDelete);
    SendCommands({QStringLiteral("DELE ") + AName});
}

void TOVFtpClient::SendCommands(const QStringList& ACommands) {
    if (!FConnected || !FCurl)
        throw EOVFtpError(QStringLiteral("Not connected to an FTP server"));
    CURL* curl = static_cast<CURL*>(FCurl);
    // The names as Put sends them: UTF-8.
    TSList quote;
    for (const QString& command : ACommands)
        quote.List = curl_slist_append(quote.List, command.toUtf8().constData());
    // Nothing to transfer on the log-in directory: libcurl sends the commands
    // on the open connection and stops.
    const QByteArray url = FBaseUrl.toUtf8();
    char errors[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_QUOTE, quote.List);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errors);
    FLastReply.clear();
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_QUOTE, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    if (rc == CURLE_OK)
        return;
    if (rc == CURLE_QUOTE_ERROR)
        throw EOVFtpRefused(FailureText(rc, errors, FLastReply));
    throw EOVFtpError(FailureText(rc, errors, FLastReply));
}

void TOVFtpClient::Disconnect() noexcept {
    FConnected = false;
    if (!FCurl)
        return;
    // Cleaning up sends QUIT on a connection that is still alive.
    try {
        curl_easy_cleanup(static_cast<CURL*>(FCurl));
    } catch (...) {
    }
    FCurl = nullptr;
}
