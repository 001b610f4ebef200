#pragma once
// Sends one plain-text mail over SMTP. Every call opens its own connection,
// over TLS when asked (implicit on port 465, STARTTLS on other ports, where a
// server that does not offer it gets nothing), and closes it again; nothing
// is kept between calls.
#include "common/uOVException.h"

#include <QList>
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

// One mailbox of an address list: the display name (may be empty) and the
// address that goes into the envelope.
struct TMailAddress {
    QString Name;
    QString Address;
};

struct TAddressList {
    QList<TMailAddress> Addresses;
    // Entries that are not an address, as typed (trimmed).
    QStringList Invalid;
};

// An address list as administrators type it: entries separated by commas or
// semicolons (not inside a quoted name), each "Name <address>", "<address>"
// or a bare address, with a quoted name unquoted and comments dropped; empty
// entries are skipped. An address needs a local part, "@" and a domain, and
// no blanks, control characters, brackets or quotes, so that nothing in it
// can write an SMTP command of its own.
TAddressList ParseAddressList(const QString& AText);

// What a sent mail did not reach: one "address: reply" item per recipient
// the server refused, and the recipient entries that are not an address.
struct TMailResult {
    QStringList Refused;
    QStringList Invalid;
};

// Returns at once when AHost is empty. Raises ERangeError for a port outside
// 0..65535 (0 picks the protocol's standard port), ESMTPReplyError when the
// server refuses a command (or every recipient), ESMTPError for every other
// failure, including a connection lost while the message was transferred, a
// sender that is not one address and recipients without any address.
// The mail goes to every recipient the server accepts; the others are in the
// result. AUserName empty means no authentication; otherwise LOGIN is used
// when the server offers it, else CRAM-MD5, else PLAIN, and without any of
// them the mail is sent without a log-in. The sender name, when empty, is
// the one in AFromAddress ("Name <address>").
TMailResult SendMail(const QString& AHost, int APort, bool AUseTLS, const QString& AUserName,
                     const QString& APassword, const QString& AFromAddress,
                     const QString& AFromName, const QString& ARecipients, const QString& ASubject,
                     const QStringList& ABody);

} // namespace uOVNet
