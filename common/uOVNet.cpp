#include "common/uOVNet.h"

#include "common/uOVClock.h"
#include "common/uOVCodePage.h"
#include "common/uOVCurl.h"
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

namespace {

using TSteadyClock = std::chrono::steady_clock;

bool IsControl(QChar AChar) {
    return (AChar.unicode() < 0x20 && AChar != QLatin1Char('\t')) || AChar.unicode() == 0x7F;
}

// The text for a message, control characters shown as "?".
QString Shown(const QString& AText) {
    QString shown = AText;
    for (QChar& c : shown)
        if (IsControl(c) || c == QLatin1Char('\t'))
            c = QLatin1Char('?');
    return shown;
}

// An address goes into "MAIL FROM:<...>" and "RCPT TO:<...>" as it is, so a
// blank, line break or bracket in it would let a setting write its own
// commands.
bool IsMailAddress(const QString& AAddress) {
    const qsizetype at = AAddress.indexOf(QLatin1Char('@'));
    if (at <= 0 || at != AAddress.lastIndexOf(QLatin1Char('@')) || at == AAddress.size() - 1)
        return false;
    static const QString Forbidden = QStringLiteral("<>()[]\\\",;:");
    return std::none_of(AAddress.begin(), AAddress.end(), [](QChar c) {
        return c.unicode() <= 0x20 || c.unicode() == 0x7F || c.isSpace() || Forbidden.contains(c);
    });
}

// One entry of an address list, fed a character at a time: a display name
// (quoted strings unquoted) before "<address>", or a bare address; comments
// in parentheses are dropped.
class TAddressEntry {
public:
    // Whether a separator at this point ends the entry.
    bool AtTopLevel() const { return !FInQuote && FDepth == 0; }

    void Add(QChar AChar) {
        FRaw += AChar;
        FBad = FBad || IsControl(AChar);
        if (FEscaped) {
            FEscaped = false;
            if (FInQuote)
                FName += AChar;
            return;
        }
        if (AChar == QLatin1Char('\\') && (FInQuote || FDepth > 0)) {
            FEscaped = true;
            return;
        }
        if (FInQuote) {
            if (AChar == QLatin1Char('"'))
                FInQuote = false;
            else
                FName += AChar;
            return;
        }
        if (AChar == QLatin1Char('(') || (FDepth > 0 && AChar == QLatin1Char(')'))) {
            FDepth += AChar == QLatin1Char('(') ? 1 : -1;
            return;
        }
        if (FDepth > 0)
            return;
        switch (FPart) {
        case TPart::Name:
            if (AChar == QLatin1Char('"')) {
                FInQuote = FQuoted = true;
            } else if (AChar == QLatin1Char('<')) {
                FPart = TPart::Address;
            } else {
                FBad = FBad || AChar == QLatin1Char('>');
                FName += AChar;
            }
            break;
        case TPart::Address:
            if (AChar == QLatin1Char('>'))
                FPart = TPart::After;
            else
                FAddress += AChar;
            break;
        case TPart::After:
            FBad = FBad || !AChar.isSpace();
            break;
        }
    }

    // Adds the entry to AList; an empty one is skipped.
    void AddTo(TAddressList& AList) const {
        const QString raw = FRaw.trimmed();
        if (raw.isEmpty())
            return;
        bool bad = FBad || !AtTopLevel() || FEscaped || FPart == TPart::Address;
        TMailAddress entry{FName.simplified(), FAddress.trimmed()};
        if (FPart == TPart::Name) {
            bad = bad || FQuoted;
            entry = {QString(), entry.Name};
        }
        if (bad || !IsMailAddress(entry.Address))
            AList.Invalid.append(raw);
        else
            AList.Addresses.append(entry);
    }

private:
    enum class TPart { Name, Address, After };
    QString FRaw;
    QString FName;
    QString FAddress;
    TPart FPart = TPart::Name;
    int FDepth = 0;
    bool FInQuote = false;
    bool FQuoted = false;
    bool FEscaped = false;
    bool FBad = false;
};

} // namespace

TAddressList ParseAddressList(const QString& AText) {
    TAddressList result;
    TAddressEntry entry;
    for (const QChar c : AText) {
        if ((c == QLatin1Char(',') || c == QLatin1Char(';')) && entry.AtTopLevel()) {
            entry.AddTo(result);
            entry = TAddressEntry();
        } else {
            entry.Add(c);
        }
    }
    entry.AddTo(result);
    return result;
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

QByteArray AddressList(const QList<TMailAddress>& AAddresses) {
    QByteArray result;
    qsizetype lineLength = 4; // "To: "
    for (const TMailAddress& address : AAddresses) {
        const QByteArray item = Mailbox(address.Address, address.Name);
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
        // An encoded name may have folded the item itself.
        const qsizetype fold = item.lastIndexOf("\r\n");
        lineLength = fold < 0 ? lineLength + item.size() : item.size() - fold - 2;
    }
    return result;
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
                          const QList<TMailAddress>& ARecipients, const QString& ASubject,
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

// The conversation as the library's debug output shows it, kept only as far
// as the outcome needs: of the commands, just which one a reply answers and
// a recipient's address; log-in lines are never kept.
class TTranscript {
public:
    QStringList Mechanisms; // of AUTH in the latest EHLO reply
    QStringList Refused;    // "address: reply" per recipient refused
    int ErrorCode = 0;      // the last error reply; the closing QUIT's comes after it
    QString ErrorText;

    void CommandSent(QByteArrayView ALine) {
        FRecipient.clear();
        FInEhlo = ALine.startsWith("EHLO ");
        if (FInEhlo)
            Mechanisms.clear();
        if (const qsizetype end = ALine.indexOf('>'); ALine.startsWith("RCPT TO:<") && end > 9)
            FRecipient = QString::fromUtf8(ALine.sliced(9, end - 9));
    }

    void ReplyLine(QByteArrayView ALine) {
        bool isCode = ALine.size() >= 3;
        for (int i = 0; i < 3 && isCode; ++i)
            isCode = ALine.at(i) >= '0' && ALine.at(i) <= '9';
        if (!isCode)
            return;
        const QString text = uOVCodePage::FromServerText(
            ALine.sliced(std::min<qsizetype>(4, ALine.size())).toByteArray());
        FLines.append(text);
        if (FInEhlo &&
            (text.startsWith(QLatin1String("AUTH ")) || text.startsWith(QLatin1String("AUTH="))))
            Mechanisms += text.mid(5).toUpper().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (ALine.size() > 3 && ALine.at(3) == '-')
            return;
        const int code = ALine.first(3).toInt();
        const QString reply = FLines.join(QLatin1Char(' ')).trimmed();
        FLines.clear();
        if (code < 400)
            return;
        ErrorCode = code;
        ErrorText = reply;
        if (!FRecipient.isEmpty())
            Refused.append(FRecipient + QStringLiteral(": ") + QString::number(code) +
                           QLatin1Char(' ') + reply);
    }

private:
    QStringList FLines;
    QString FRecipient;
    bool FInEhlo = false;
};

// Reads the text in place: a log-in line is looked at, never copied.
int OnDebug(CURL*, curl_infotype AType, char* AData, size_t ASize, void* AUser) {
    if (AType != CURLINFO_HEADER_OUT && AType != CURLINFO_HEADER_IN)
        return 0;
    QByteArrayView line(AData, static_cast<qsizetype>(ASize));
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    auto* transcript = static_cast<TTranscript*>(AUser);
    if (AType == CURLINFO_HEADER_OUT)
        transcript->CommandSent(line);
    else
        transcript->ReplyLine(line);
    return 0;
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
    TTranscript Transcript;
};

struct TCurlDeleter {
    void operator()(CURL* AHandle) const { curl_easy_cleanup(AHandle); }
    void operator()(curl_slist* AList) const { curl_slist_free_all(AList); }
};

// ALoginOptions: the log-in methods allowed ("AUTH=LOGIN"); nullptr for no
// log-in.
TAttempt Perform(const TMailJob& AJob, const char* ALoginOptions,
                 TSteadyClock::time_point ADeadline) {
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
    uOVCurl::SetTrustStore(h);
    if (ALoginOptions) {
        curl_easy_setopt(h, CURLOPT_USERNAME, AJob.UserName.constData());
        curl_easy_setopt(h, CURLOPT_PASSWORD, AJob.Password.constData());
        curl_easy_setopt(h, CURLOPT_LOGIN_OPTIONS, ALoginOptions);
    }
    curl_easy_setopt(h, CURLOPT_MAIL_FROM, AJob.FromAddress.constData());
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT, recipients.get());
    // One refused recipient must not cost the others their mail (the option's
    // name lost a misspelling in 8.2).
#if LIBCURL_VERSION_NUM >= 0x080200
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT_ALLOWFAILS, 1L);
#else
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);
#endif
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &ReadMessage);
    curl_easy_setopt(h, CURLOPT_READDATA, &upload);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(upload.Data.size()));
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &OnDebug);
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, &attempt.Transcript);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);

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

// A name a strict server takes for EHLO: dotted, of letters, digits and
// hyphens, and not one of the names every machine has.
bool IsQualifiedName(const QString& AName) {
    const QString name = AName.toLower();
    if (!name.contains(QLatin1Char('.')) || name.startsWith(QLatin1Char('.')) ||
        name.endsWith(QLatin1Char('.')) || name.contains(QLatin1String("..")) ||
        name == QLatin1String("localhost") || name.startsWith(QLatin1String("localhost.")) ||
        name.endsWith(QLatin1String(".localdomain")))
        return false;
    return std::all_of(name.begin(), name.end(), [](QChar c) {
        return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
               (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') ||
               c == QLatin1Char('.');
    });
}

// The machine's fully qualified name, or else the literal of its address
// toward the server ("[192.0.2.7]", "[IPv6:2001:db8::7]"): strict servers
// refuse a bare host name.
QString EhloName(const QString& AHost, int APort) {
    const QString fullName = QString::fromStdString(platform::LocalHostFullName());
    if (IsQualifiedName(fullName))
        return fullName;
    QString host = AHost.trimmed();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const QString address = QString::fromStdString(
        platform::LocalAddressToward(host.toStdString(), APort > 0 ? APort : 25));
    if (address.isEmpty())
        return fullName;
    const QString tag = address.contains(QLatin1Char(':')) ? QStringLiteral("IPv6:") : QString();
    return QLatin1Char('[') + tag + address + QLatin1Char(']');
}

// The server's refusal of a mail sent without a log-in, as servers word it.
bool IsAuthenticationRequired(const TAttempt& AAttempt) {
    return AAttempt.Transcript.ErrorCode == 530 ||
           AAttempt.Transcript.ErrorText.startsWith(QLatin1String("5.7.0"));
}

[[noreturn]] void RaiseFailure(const TAttempt& AAttempt, bool AExplicitTLS) {
    // A server that refuses EHLO cannot offer STARTTLS either; the library
    // then gives up instead of falling back to HELO.
    if (AExplicitTLS && AAttempt.Code == CURLE_REMOTE_ACCESS_DENIED)
        throw ESMTPError(QStringLiteral("The mail server offered no TLS (STARTTLS), which the "
                                        "settings require; it refused EHLO: ") +
                         (AAttempt.Transcript.ErrorText.isEmpty() ? AAttempt.ErrorText
                                                                  : AAttempt.Transcript.ErrorText));
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
    if (AAttempt.ResponseCode >= 400 && AAttempt.Transcript.ErrorCode == AAttempt.ResponseCode)
        throw ESMTPReplyError(static_cast<int>(AAttempt.ResponseCode),
                              AAttempt.Transcript.ErrorText);
    if (AAttempt.ResponseCode == 354)
        throw ESMTPError(
            QStringLiteral("The connection to the mail server failed while the message was "
                           "transferred; the mail may not have been delivered: ") +
            AAttempt.ErrorText);
    throw ESMTPError(AAttempt.ErrorText);
}

} // namespace

TMailResult SendMail(const QString& AHost, int APort, bool AUseTLS, const QString& AUserName,
                     const QString& APassword, const QString& AFromAddress,
                     const QString& AFromName, const QString& ARecipients, const QString& ASubject,
                     const QStringList& ABody) {
    TMailResult result;
    if (AHost.isEmpty())
        return result;
    if (APort < 0 || APort > 65535)
        throw ERangeError(QStringLiteral("The mail server port ") + QString::number(APort) +
                          QStringLiteral(" is outside the range 0 to 65535"));
    const TAddressList senders = ParseAddressList(AFromAddress);
    if (senders.Addresses.size() != 1 || !senders.Invalid.isEmpty())
        throw ESMTPError(QStringLiteral("Invalid sender address \"") + Shown(AFromAddress) +
                         QStringLiteral("\": the sender must be one address, such as "
                                        "name@example.com or Name <name@example.com>"));
    const TMailAddress& sender = senders.Addresses.first();
    const TAddressList recipients = ParseAddressList(ARecipients);
    result.Invalid = recipients.Invalid;
    if (recipients.Addresses.isEmpty())
        throw ESMTPError(recipients.Invalid.isEmpty()
                             ? QStringLiteral("No recipient address given")
                             : QStringLiteral("No recipient is a mail address: \"") +
                                   Shown(recipients.Invalid.join(QStringLiteral("\", \""))) +
                                   QLatin1Char('"'));

    uOVCurl::GlobalInit();
    const TSMTPSettings& settings = SMTPSettings();
    const bool tls = AUseTLS && (settings.TLSAvailable ? settings.TLSAvailable() : LibraryHasTLS());
    const bool implicitTLS = tls && APort == settings.ImplicitTLSPort;

    // The server name is checked before anything resolves it.
    MailUrl(AHost, APort, implicitTLS, QString());
    const QString heloName = EhloName(AHost, APort);
    TMailJob job;
    job.Url = MailUrl(AHost, APort, implicitTLS, heloName);
    job.ExplicitTLS = tls && !implicitTLS;
    job.UserName = AUserName.toUtf8();
    job.Password = APassword.toUtf8();
    job.FromAddress = sender.Address.toUtf8();
    for (const TMailAddress& r : recipients.Addresses)
        job.Recipients.append(r.Address.toUtf8());
    job.Message = ComposeMessage(sender.Address, AFromName.isEmpty() ? sender.Name : AFromName,
                                 recipients.Addresses, ASubject, ABody, heloName);

    const auto deadline =
        TSteadyClock::now() + std::chrono::milliseconds(std::max(1, settings.TotalTimeoutMs));
    const bool login = !AUserName.isEmpty();
    TAttempt attempt = Perform(job, login ? "AUTH=LOGIN" : nullptr, deadline);
    // The server offers AUTH but not LOGIN: the library gives up before any
    // AUTH command while the last reply is still the EHLO's. The next try
    // takes the best other method offered; without one, no log-in.
    const QStringList offered = attempt.Transcript.Mechanisms;
    const bool loginRefused =
        login && attempt.Code == CURLE_LOGIN_DENIED && attempt.ResponseCode / 100 == 2;
    const char* fallback = !loginRefused                                 ? nullptr
                           : offered.contains(QLatin1String("CRAM-MD5")) ? "AUTH=CRAM-MD5"
                           : offered.contains(QLatin1String("PLAIN"))    ? "AUTH=PLAIN"
                                                                         : nullptr;
    if (loginRefused)
        attempt = Perform(job, fallback, deadline);
    if (attempt.Code != CURLE_OK) {
        if (loginRefused && !fallback && IsAuthenticationRequired(attempt))
            throw ESMTPError(QStringLiteral("The mail server requires a log-in but offers none "
                                            "of the methods LOGIN, PLAIN, CRAM-MD5 (it offers ") +
                             offered.join(QLatin1Char(' ')) + QStringLiteral("): ") +
                             QString::number(attempt.Transcript.ErrorCode) + QLatin1Char(' ') +
                             attempt.Transcript.ErrorText);
        RaiseFailure(attempt, job.ExplicitTLS);
    }
    result.Refused = attempt.Transcript.Refused;
    return result;
}

} // namespace uOVNet
