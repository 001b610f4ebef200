#pragma once
// Sends one plain-text mail over SMTP. Every call opens its own connection,
// over TLS when asked (implicit on port 465, STARTTLS on other ports, where a
// server that does not offer it gets nothing), and closes it again; nothing
// is kept between calls.
#include "common/uOVException.h"

#include <QString>
#include <QStringList>

// A value outside its allowed range, such as a port above 65535.
OV_DECLARE_EXCEPTION(ERangeError, Exception);

// A mail that could not be handed to the server: no connection, a TLS or
// certificate failure, a time-out, a connection that broke on the way, an
// address that cannot be sent safely.
OV_DECLARE_EXCEPTION(ESMTPError, Exception);

// The server answered a command with an error reply; the message is the
// reply's code and text as the server sent them ("550 5.1.1 No such user").
class ESMTPReplyError : public ESMTPError {
public:
    ESMTPReplyError(int AReplyCode, const QString& AReplyText);
    int ReplyCode() const { return FReplyCode; }
    const QString& ReplyText() const { return FReplyText; }
    QString ClassName() const override { return QStringLiteral("ESMTPReplyError"); }

private:
    int FReplyCode;
    QString FReplyText;
};

namespace uOVNet {

// Limits of one SendMail call. A server that stops answering is given up
// after ReplyTimeoutMs (used in whole seconds); the call as a whole, closing
// QUIT and a second attempt included, ends after about TotalTimeoutMs.
struct TSMTPSettings {
    int ConnectTimeoutMs = 15000;
    int ReplyTimeoutMs = 30000;
    int TotalTimeoutMs = 60000;
    // With TLS asked for, the port on which TLS starts at once (implicit
    // TLS); STARTTLS is used on every other port. The environment variable
    // BREVOLT_SMTP_IMPLICIT_TLS_PORT, when it holds a port number, replaces
    // 465 (for test servers on a free port).
    int ImplicitTLSPort = 465;
    // Whether TLS can be used at all; nullptr asks the mail library.
    bool (*TLSAvailable)() = nullptr;
};
TSMTPSettings& SMTPSettings();

// Whether the mail library was built with a TLS backend.
bool LibraryHasTLS();

// The recipients text split at every comma, each piece trimmed of spaces;
// a trailing comma gives a last, empty address. Nothing else separates.
QStringList SplitRecipients(const QString& ARecipients);

// The address of one sender or recipient setting: "Name <address>" gives the
// address between the brackets; any other text is returned as it is (and
// refused later when it holds a bracket or a line break).
QString EnvelopeAddress(const QString& AText);

// Returns at once when AHost is empty. Raises ERangeError for a port outside
// 0..65535 (0 picks the protocol's standard port), ESMTPReplyError when the
// server refuses a command, ESMTPError for every other failure, including a
// connection lost while the message was transferred. AUserName empty means no
// authentication; otherwise AUTH LOGIN is used when the server offers it.
void SendMail(const QString& AHost, int APort, bool AUseTLS, const QString& AUserName,
              const QString& APassword, const QString& AFromAddress, const QString& AFromName,
              const QString& ARecipients, const QString& ASubject, const QStringList& ABody);

} // namespace uOVNet
