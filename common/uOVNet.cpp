#include "common/uOVNet.h"

#include "common/uOVClock.h"
#include "platform/HostName.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <QByteArray>
#include <QDateTime>
#include <QRandomGenerator>
#include <QUrl>

ESMTPReplyError::ESMTPReplyError(int AReplyCode, const QString& AReplyText)
    : ESMTPError(QString::number(AReplyCode) + QLatin1Char(' ') + AReplyText),
      FReplyCode(AReplyCode), FReplyText(AReplyText) {}

namespace uOVNet {

TSMTPSettings& SMTPSettings() {
    static TSMTPSettings settings = [] {
        TSMTPSettings initial;
        // A test mail server cannot listen on 465; a whole port number in
        // BREVOLT_SMTP_IMPLICIT_TLS_PORT moves implicit TLS to its port.
        if (const char* text = std::getenv("BREVOLT_SMTP_IMPLICIT_TLS_PORT")) {
            bool ok = false;
            const int port = QByteArray(text).toInt(&ok);
            if (ok && port > 0 && port <= 65535)
                initial.ImplicitTLSPort = port;
        }
        return initial;
    }();
    return settings;
}

bool LibraryHasTLS() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info && (info->features & CURL_VERSION_SSL) && info->ssl_version &&
           info->ssl_version[0] != '\0';
}

QStringList SplitRecipients(const QString& ARecipients) {
    QStringList result;
    for (const QString& piece : ARecipients.split(QLatin1Char(',')))
        result.append(piece.trimmed());
    return result;
}

namespace {

using TSteadyClock = std::chrono::steady_clock;

void GlobalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// An address goes into "MAIL FROM:<...>" and "RCPT TO:<...>" as it is, so a
// line break or bracket in it would let a setting write its own commands.
void CheckEnvelopeAddress(const QString& AAddress, const QString& ARole) {
    for (QChar c : AAddress) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || c == QLatin1Char('<') ||
            c == QLatin1Char('>')) {
            QString shown = AAddress;
            for (QChar& s : shown)
                if (s.unicode() < 0x20 || s.unicode() == 0x7F)
                    s = QLatin1Char('?');
            throw ESMTPError(QStringLiteral("Invalid ") + ARole + QStringLiteral(" address \"") +
                             shown +
                             QStringLiteral("\": an address must not contain line breaks, "
                                            "control characters, \"<\" or \">\""));
        }
    }
}

} // namespace

QString EnvelopeAddress(const QString& AText) {
    const QString text = AText.trimmed();
    const qsizetype open = text.indexOf(QLatin1Char('<'));
    // "Name <address>": one pair of brackets closing the text, none in the name.
    if (open < 0 || !text.endsWith(QLatin1Char('>')) ||
        text.indexOf(QLatin1Char('<'), open + 1) >= 0 ||
        text.indexOf(QLatin1Char('>')) != text.size() - 1)
        return AText;
    for (QChar c : text.left(open))
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return AText;
    return text.mid(open + 1, text.size() - open - 2).trimmed();
}

namespace {

bool IsAscii(const QByteArray& AText) {
    for (char c : AText)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// Header values are single lines: a line break in a subject or name must not
// start a header of its own.
QString OneLine(const QString& AText) {
    QString result = AText;
    for (QChar& c : result)
        if (c.unicode() < 0x20 && c != QLatin1Char('\t'))
            c = QLatin1Char(' ');
    return result;
}

// Non-ASCII header text as UTF-8 encoded words, each short enough for one
// header line, folded onto continuation lines.
QByteArray EncodedWords(const QString& AText) {
    QByteArray result;
    QByteArray chunk;
    auto flush = [&] {
        if (chunk.isEmpty())
            return;
        if (!result.isEmpty())
            result += "\r\n ";
        result += "=?UTF-8?B?" + chunk.toBase64() + "?=";
        chunk.clear();
    };
    for (qsizetype i = 0; i < AText.size(); ++i) {
        qsizetype len = AText.at(i).isHighSurrogate() && i + 1 < AText.size() ? 2 : 1;
        QByteArray bytes = AText.mid(i, len).toUtf8();
        i += len - 1;
        if (chunk.size() + bytes.size() > 45)
            flush();
        chunk += bytes;
    }
    flush();
    return result;
}

QByteArray HeaderText(const QString& AText) {
    QByteArray utf8 = OneLine(AText).toUtf8();
    return IsAscii(utf8) ? utf8 : EncodedWords(OneLine(AText));
}

QByteArray Mailbox(const QString& AAddress, const QString& AName) {
    QByteArray address = AAddress.toUtf8();
    if (AName.isEmpty())
        return address;
    QByteArray name = OneLine(AName).toUtf8();
    if (IsAscii(name)) {
        name.replace("\\", "\\\\").replace("\"", "\\\"");
        name = '"' + name + '"';
    } else {
        name = EncodedWords(OneLine(AName));
    }
    return name + " <" + address + '>';
}

QByteArray AddressList(const QStringList& AAddresses) {
    QByteArray result;
    qsizetype lineLength = 4; // "To: "
    for (const QString& address : AAddresses) {
        if (address.isEmpty())
            continue;
        QByteArray item = address.toUtf8();
        if (!result.isEmpty()) {
            if (lineLength + item.size() + 2 > 78) {
                result += ",\r\n ";
                lineLength = 1;
            } else {
                result += ", ";
                lineLength += 2;
            }
        }
        result += item;
        lineLength += item.size();
    }
    return result.isEmpty() ? QByteArray("undisclosed-recipients:;") : result;
}

QByteArray MailDate(const QDateTime& ATime) {
    static const char* const Days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate d = ATime.date();
    const QTime t = ATime.time();
    const int offset = ATime.offsetFromUtc() / 60;
    const int absOffset = offset < 0 ? -offset : offset;
    return QByteArray(Days[d.dayOfWeek() - 1]) + ", " + QByteArray::number(d.day()) + ' ' +
           Months[d.month() - 1] + ' ' + QByteArray::number(d.year()) + ' ' +
           QByteArray::number(t.hour()).rightJustified(2, '0') + ':' +
           QByteArray::number(t.minute()).rightJustified(2, '0') + ':' +
           QByteArray::number(t.second()).rightJustified(2, '0') + ' ' + (offset < 0 ? '-' : '+') +
           QByteArray::number(absOffset / 60).rightJustified(2, '0') +
           QByteArray::number(absOffset % 60).rightJustified(2, '0');
}

// One line as quoted-printable, with soft breaks that keep every encoded
// line within 76 characters.
QByteArray QuotedPrintable(const QByteArray& ALine) {
    QByteArray result;
    qsizetype lineLength = 0;
    for (qsizetype i = 0; i < ALine.size(); ++i) {
        const auto c = static_cast<unsigned char>(ALine.at(i));
        const bool last = i + 1 == ALine.size();
        QByteArray piece;
        if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last))
            piece = QByteArray(1, static_cast<char>(c));
        else
            piece = '=' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        if (lineLength + piece.size() > 75) {
            result += "=\r\n";
            lineLength = 0;
        }
        result += piece;
        lineLength += piece.size();
    }
    return result;
}

QByteArray ComposeMessage(const QString& AFromAddress, const QString& AFromName,
                          const QStringList& ARecipients, const QString& ASubject,
                          const QStringList& ABody, const QString& AHostName) {
    QList<QByteArray> lines;
    for (const QString& entry : ABody) {
        QString text = entry;
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
            .replace(QLatin1Char('\r'), QLatin1Char('\n'));
        for (const QString& line : text.split(QLatin1Char('\n')))
            lines.append(line.toUtf8());
    }
    bool plain = true;
    for (const QByteArray& line : lines)
        plain = plain && IsAscii(line) && line.size() <= 998;

    const QDateTime now = Clock().Now();
    const QByteArray messageId =
        '<' + now.toUTC().toString(QStringLiteral("yyyyMMddhhmmsszzz")).toLatin1() + '.' +
        QByteArray::number(QRandomGenerator::global()->generate64(), 16) + '@' +
        AHostName.toUtf8() + '>';

    QByteArray message;
    message += "Date: " + MailDate(now) + "\r\n";
    message += "From: " + Mailbox(AFromAddress, AFromName) + "\r\n";
    message += "To: " + AddressList(ARecipients) + "\r\n";
    message += "Subject: " + HeaderText(ASubject) + "\r\n";
    message += "Message-ID: " + messageId + "\r\n";
    message += "MIME-Version: 1.0\r\n";
    if (plain)
        message += "Content-Type: text/plain; charset=us-ascii\r\n"
                   "Content-Transfer-Encoding: 7bit\r\n";
    else
        message += "Content-Type: text/plain; charset=utf-8\r\n"
                   "Content-Transfer-Encoding: quoted-printable\r\n";
    message += "\r\n";
    for (const QByteArray& line : lines)
        message += (plain ? line : QuotedPrintable(line)) + "\r\n";
    return message;
}

struct TUpload {
    QByteArray Data;
    qsizetype Pos = 0;
};

size_t ReadMessage(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
    auto* upload = static_cast<TUpload*>(AUser);
    const size_t left = static_cast<size_t>(upload->Data.size() - upload->Pos);
    const size_t n = std::min(left, ASize * ACount);
    memcpy(ABuffer, upload->Data.constData() + upload->Pos, n);
    upload->Pos += static_cast<qsizetype>(n);
    return n;
}

// Every server reply line passes here. The last error reply is kept for the
// message: the closing QUIT's reply comes after it.
struct TReplies {
    QStringList Current;
    int ErrorCode = 0;
    QString ErrorText;
};

size_t OnReplyLine(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
    auto* replies = static_cast<TReplies*>(AUser);
    const size_t n = ASize * ACount;
    QByteArray line(ABuffer, static_cast<qsizetype>(n));
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    bool isCode = line.size() >= 3;
    for (int i = 0; i < 3 && isCode; ++i)
        isCode = line.at(i) >= '0' && line.at(i) <= '9';
    if (!isCode)
        return n;
    replies->Current.append(QString::fromUtf8(line.mid(4)));
    if (line.size() == 3 || line.at(3) != '-') {
        const int code = line.left(3).toInt();
        if (code >= 400) {
            replies->ErrorCode = code;
            replies->ErrorText = replies->Current.join(QLatin1Char(' ')).trimmed();
        }
        replies->Current.clear();
    }
    return n;
}

// Bounds the whole call, the closing QUIT included, which the library
// otherwise waits for with the reply time-out alone.
int OnProgress(void* AUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return TSteadyClock::now() >= *static_cast<TSteadyClock::time_point*>(AUser) ? 1 : 0;
}

struct TMailJob {
    QByteArray Url;
    bool ExplicitTLS = false;
    QByteArray UserName;
    QByteArray Password;
    QByteArray FromAddress;
    QList<QByteArray> Recipients;
    QByteArray Message;
};

struct TAttempt {
    CURLcode Code = CURLE_OK;
    long ResponseCode = 0;
    QString ErrorText;
    TReplies Replies;
};

struct TCurlDeleter {
    void operator()(CURL* AHandle) const { curl_easy_cleanup(AHandle); }
    void operator()(curl_slist* AList) const { curl_slist_free_all(AList); }
};

// The trust store: the system's, unless the standard OpenSSL variables name
// another one (a private certificate authority).
void SetTrustStore(CURL* AHandle) {
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* dir = std::getenv("SSL_CERT_DIR");
    const bool fileSet = file && *file;
    const bool dirSet = dir && *dir;
    if (!fileSet && !dirSet)
        return;
    curl_easy_setopt(AHandle, CURLOPT_CAINFO, fileSet ? file : nullptr);
    curl_easy_setopt(AHandle, CURLOPT_CAPATH, dirSet ? dir : nullptr);
}

TAttempt Perform(const TMailJob& AJob, bool ALogin, TSteadyClock::time_point ADeadline) {
    TAttempt attempt;
    std::unique_ptr<CURL, TCurlDeleter> handle(curl_easy_init());
    if (!handle) {
        attempt.Code = CURLE_FAILED_INIT;
        return attempt;
    }
    CURL* h = handle.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::unique_ptr<curl_slist, TCurlDeleter> recipients;
    for (const QByteArray& r : AJob.Recipients)
        recipients.reset(curl_slist_append(recipients.release(), r.constData()));
    TUpload upload{AJob.Message};
    TSteadyClock::time_point deadline = ADeadline;
    const TSMTPSettings& settings = SMTPSettings();
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - TSteadyClock::now())
            .count();

    curl_easy_setopt(h, CURLOPT_URL, AJob.Url.constData());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.ConnectTimeoutMs));
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                     static_cast<long>(std::max(1, (settings.ReplyTimeoutMs + 999) / 1000)));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<qint64>(1, remaining)));
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &deadline);
    curl_easy_setopt(h, CURLOPT_USE_SSL,
                     // Asked for, TLS is required: a server (or someone in between)
                     // that offers no STARTTLS must not get the password or the mail.
                     static_cast<long>(AJob.ExplicitTLS ? CURLUSESSL_ALL : CURLUSESSL_NONE));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    SetTrustStore(h);
    if (ALogin) {
        curl_easy_setopt(h, CURLOPT_USERNAME, AJob.UserName.constData());
        curl_easy_setopt(h, CURLOPT_PASSWORD, AJob.Password.constData());
        curl_easy_setopt(h, CURLOPT_LOGIN_OPTIONS, "AUTH=LOGIN");
    }
    curl_easy_setopt(h, CURLOPT_MAIL_FROM, AJob.FromAddress.constData());
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT, recipients.get());
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &ReadMessage);
    curl_easy_setopt(h, CURLOPT_READDATA, &upload);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(upload.Data.size()));
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnReplyLine);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &attempt.Replies);

    attempt.Code = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &attempt.ResponseCode);
    attempt.ErrorText = QString::fromUtf8(errorBuffer).trimmed();
    if (attempt.ErrorText.isEmpty())
        attempt.ErrorText = QString::fromUtf8(curl_easy_strerror(attempt.Code));
    return attempt;
}

// smtp[s]://host[:port]/<EHLO name>: the library greets with the URL's path.
QByteArray MailUrl(const QString& AHost, int APort, bool AImplicitTLS, const QString& AHeloName) {
    QString host = AHost.trimmed();
    if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('[')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    std::unique_ptr<CURLU, void (*)(CURLU*)> url(curl_url(), &curl_url_cleanup);
    const QByteArray helo = '/' + QUrl::toPercentEncoding(AHeloName);
    const QByteArray port = APort != 0 ? QByteArray::number(APort) : QByteArray();
    char* text = nullptr;
    // The library checks the name, so that no user, path or second host can
    // ride along in it.
    if (!url ||
        curl_url_set(url.get(), CURLUPART_SCHEME, AImplicitTLS ? "smtps" : "smtp", 0) !=
            CURLUE_OK ||
        host.isEmpty() ||
        curl_url_set(url.get(), CURLUPART_HOST, host.toUtf8().constData(), 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_PORT, port.isEmpty() ? nullptr : port.constData(), 0) !=
            CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_PATH, helo.constData(), 0) != CURLUE_OK ||
        curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK || !text)
        throw ESMTPError(QStringLiteral("Invalid mail server name \"") + OneLine(AHost) +
                         QLatin1Char('"'));
    QByteArray result(text);
    curl_free(text);
    return result;
}

[[noreturn]] void RaiseFailure(const TAttempt& AAttempt, bool AExplicitTLS) {
    // A server that refuses EHLO cannot offer STARTTLS either; the library
    // then gives up instead of falling back to HELO.
    if (AExplicitTLS && AAttempt.Code == CURLE_REMOTE_ACCESS_DENIED)
        throw ESMTPError(QStringLiteral("The mail server offered no TLS (STARTTLS), which the "
                                        "settings require; it refused EHLO: ") +
                         (AAttempt.Replies.ErrorText.isEmpty() ? AAttempt.ErrorText
                                                               : AAttempt.Replies.ErrorText));
    switch (AAttempt.Code) {
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_ABORTED_BY_CALLBACK:
        throw ESMTPError(QStringLiteral("The mail server did not answer in time: ") +
                         AAttempt.ErrorText);
    case CURLE_PEER_FAILED_VERIFICATION:
        throw ESMTPError(QStringLiteral("The mail server's certificate could not be verified: ") +
                         AAttempt.ErrorText);
    case CURLE_SSL_CACERT_BADFILE:
        throw ESMTPError(QStringLiteral("The trusted certificates could not be read: ") +
                         AAttempt.ErrorText);
    case CURLE_USE_SSL_FAILED:
        throw ESMTPError(QStringLiteral("The mail server offered no TLS (STARTTLS), which the "
                                        "settings require; nothing was sent: ") +
                         AAttempt.ErrorText);
    default:
        break;
    }
    if (AAttempt.ResponseCode >= 400 && AAttempt.Replies.ErrorCode == AAttempt.ResponseCode)
        throw ESMTPReplyError(static_cast<int>(AAttempt.ResponseCode), AAttempt.Replies.ErrorText);
    if (AAttempt.ResponseCode == 354)
        throw ESMTPError(
            QStringLiteral("The connection to the mail server failed while the message was "
                           "transferred; the mail may not have been delivered: ") +
            AAttempt.ErrorText);
    throw ESMTPError(AAttempt.ErrorText);
}

} // namespace

void SendMail(const QString& AHost, int APort, bool AUseTLS, const QString& AUserName,
              const QString& APassword, const QString& AFromAddress, const QString& AFromName,
              const QString& ARecipients, const QString& ASubject, const QStringList& ABody) {
    if (AHost.isEmpty())
        return;
    if (APort < 0 || APort > 65535)
        throw ERangeError(QStringLiteral("The mail server port ") + QString::number(APort) +
                          QStringLiteral(" is outside the range 0 to 65535"));
    QStringList recipients;
    for (const QString& r : SplitRecipients(ARecipients))
        recipients.append(EnvelopeAddress(r));
    const QString fromAddress = EnvelopeAddress(AFromAddress);
    CheckEnvelopeAddress(fromAddress, QStringLiteral("sender"));
    for (const QString& r : recipients)
        CheckEnvelopeAddress(r, QStringLiteral("recipient"));

    GlobalInitOnce();
    const TSMTPSettings& settings = SMTPSettings();
    const bool tls = AUseTLS && (settings.TLSAvailable ? settings.TLSAvailable() : LibraryHasTLS());
    const bool implicitTLS = tls && APort == settings.ImplicitTLSPort;

    const QString heloName = QString::fromStdString(platform::LocalHostFullName());
    TMailJob job;
    job.Url = MailUrl(AHost, APort, implicitTLS, heloName);
    job.ExplicitTLS = tls && !implicitTLS;
    job.UserName = AUserName.toUtf8();
    job.Password = APassword.toUtf8();
    job.FromAddress = fromAddress.toUtf8();
    for (const QString& r : recipients)
        job.Recipients.append(r.toUtf8());
    job.Message = ComposeMessage(fromAddress, AFromName, recipients, ASubject, ABody, heloName);

    const auto deadline =
        TSteadyClock::now() + std::chrono::milliseconds(std::max(1, settings.TotalTimeoutMs));
    const bool login = !AUserName.isEmpty();
    TAttempt attempt = Perform(job, login, deadline);
    // The server offers AUTH but not LOGIN: the library gives up before any
    // AUTH command while the last reply is still the EHLO's. Such a server is
    // used without authentication.
    if (login && attempt.Code == CURLE_LOGIN_DENIED && attempt.ResponseCode / 100 == 2)
        attempt = Perform(job, false, deadline);
    if (attempt.Code != CURLE_OK)
        RaiseFailure(attempt, job.ExplicitTLS);
}

} // namespace uOVNet
