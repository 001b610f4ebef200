#include "common/uOVFtp.h"

#include "common/uOVCodePage.h"
#include "common/uOVLogging.h"

#include <curl/curl.h>
#include <mutex>
#include <QUrl>

namespace {

const QString AreaConnect = QStringLiteral("TOVFtpClient.Connect");
const QString AreaPut = QStringLiteral("TOVFtpClient.Put");
const QString AreaReply = QStringLiteral("TOVFtpClient");

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The source of an upload, turned into NVT text on the way: every line end
// (CR LF or a bare LF) goes out as exactly one CR LF. libcurl is left in
// binary mode, because its own ASCII conversion differs between versions
// (some double the CR of a CR LF).
struct TUploadSource {
    QIODevice* Device = nullptr;
    bool PrevCR = false;
    QString Error;
};

size_t ReadUpload(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
    auto* src = static_cast<TUploadSource*>(AUser);
    const size_t room = ASize * ACount;
    // A line feed may grow into two bytes, so read half of the room.
    QByteArray chunk(qMax<qint64>(1, qint64(room / 2)), Qt::Uninitialized);
    const qint64 got = src->Device->read(chunk.data(), chunk.size());
    if (got < 0) {
        src->Error = src->Device->errorString();
        return CURL_READFUNC_ABORT;
    }
    size_t out = 0;
    for (qint64 i = 0; i < got; ++i) {
        const char c = chunk[i];
        if (c == '\n' && !src->PrevCR)
            ABuffer[out++] = '\r';
        ABuffer[out++] = c;
        src->PrevCR = (c == '\r');
    }
    return out;
}

size_t DiscardData(char*, size_t ASize, size_t ACount, void*) {
    return ASize * ACount;
}

size_t KeepReply(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
    const size_t len = ASize * ACount;
    const QString line = uOVCodePage::FromAnsi(QByteArray(ABuffer, qsizetype(len))).trimmed();
    if (!line.isEmpty()) {
        *static_cast<QString*>(AUser) = line;
        uOVLogging::log(9, QStringLiteral("     ftp: ") + line, uOVLogging::LOG_INFO, AreaReply);
    }
    return len;
}

// The reason of a failed transfer: the server's refusal in its own words,
// otherwise libcurl's description.
QString FailureText(CURLcode ACode, const char* AErrors, const QString& AReply) {
    const bool refused = AReply.size() >= 3 &&
                         (AReply[0] == QLatin1Char('4') || AReply[0] == QLatin1Char('5')) &&
                         AReply[1].isDigit() && AReply[2].isDigit();
    if (refused)
        return AReply;
    return QString::fromLocal8Bit(*AErrors ? AErrors : curl_easy_strerror(ACode));
}

struct TSList {
    curl_slist* List = nullptr;
    ~TSList() { curl_slist_free_all(List); }
};

} // namespace

TOVFtpClient::TOVFtpClient() {
    GlobalInit();
}

TOVFtpClient::~TOVFtpClient() {
    Disconnect();
}

void TOVFtpClient::SplitHost(const QString& AHost, QString& AName, int& APort) {
    AName = AHost.trimmed();
    APort = 21;
    const qsizetype colon = AName.lastIndexOf(QLatin1Char(':'));
    if (colon < 0 || AName.indexOf(QLatin1Char(':')) != colon)
        return;
    bool ok = false;
    const int port = AName.mid(colon + 1).toInt(&ok);
    if (ok && port > 0 && port < 65536) {
        APort = port;
        AName.truncate(colon);
    }
}

void TOVFtpClient::Connect() {
    Disconnect();
    QString name;
    int port = 21;
    SplitHost(Host, name, port);
    if (name.isEmpty())
        throw EOVFtpError(QStringLiteral("No FTP server given"));
    uOVLogging::log(9,
                    QStringLiteral("Connecting to ") + name + QLatin1Char(':') +
                        QString::number(port) + QStringLiteral(" as \"") + Username +
                        QStringLiteral("\""),
                    uOVLogging::LOG_INFO, AreaConnect);

    CURL* curl = curl_easy_init();
    if (!curl)
        throw EOVFtpError(QStringLiteral("The FTP client could not be created"));
    FCurl = curl;
    FBaseUrl = QStringLiteral("ftp://") + name + QLatin1Char(':') + QString::number(port) +
               QLatin1Char('/');
    const QByteArray user = uOVCodePage::ToAnsi(Username);
    const QByteArray password = uOVCodePage::ToAnsi(Password);
    const long readSecs = qMax(1, (ReadTimeout + 999) / 1000);
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password.constData());
    curl_easy_setopt(curl, CURLOPT_IPRESOLVE, long(CURL_IPRESOLVE_V4));
    curl_easy_setopt(curl, CURLOPT_FTP_USE_EPSV, 0L);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(qMax(1, ConnectTimeout)));
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, readSecs);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, readSecs);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &KeepReply);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &FLastReply);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &DiscardData);

    // Log in on the log-in directory without transferring anything; the
    // connection stays open for the uploads that follow.
    const QByteArray url = FBaseUrl.toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    char errors[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errors);
    FLastReply.clear();
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    if (rc != CURLE_OK) {
        const QString text = FailureText(rc, errors, FLastReply);
        const QString reply = FLastReply;
        Disconnect();
        FLastReply = reply;
        throw EOVFtpError(text);
    }
    FConnected = true;
}

void TOVFtpClient::Put(QIODevice& ASource, const QString& ADestFile) {
    if (!FConnected || !FCurl)
        throw EOVFtpError(QStringLiteral("Not connected to an FTP server"));
    if (!ASource.isReadable())
        throw EOVFtpError(QStringLiteral("The file to upload cannot be read"));
    CURL* curl = static_cast<CURL*>(FCurl);
    const QByteArray url =
        FBaseUrl.toUtf8() + QUrl::toPercentEncoding(ADestFile, QByteArrayLiteral("!&()[]_{}~"));
    uOVLogging::log(9, QStringLiteral("Uploading ") + ADestFile, uOVLogging::LOG_INFO, AreaPut);

    // ASCII type, sent by hand right before STOR (see TUploadSource).
    TSList prequote;
    prequote.List = curl_slist_append(nullptr, "TYPE A");
    TUploadSource source;
    source.Device = &ASource;
    char errors[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_TRANSFERTEXT, 0L);
    curl_easy_setopt(curl, CURLOPT_PREQUOTE, prequote.List);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &source);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errors);
    FLastReply.clear();
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_PREQUOTE, nullptr);
    curl_easy_setopt(curl, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
    if (rc == CURLE_OK)
        return;
    if (!source.Error.isEmpty())
        throw EOVFtpError(QStringLiteral("Reading the file to upload failed: ") + source.Error);
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
