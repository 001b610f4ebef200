#pragma once
// The work behind the "Test" buttons of the Settings page: the checks of the
// typed fields, an FTP log-in with a small upload, and a test mail. The runs
// block and are meant for a worker thread; they touch no window and change
// nothing in the configuration. Every failure comes back as the text to show.
#include <QString>

namespace uConnectionTests {

// The outcome of a run: the text for the user and whether it worked.
struct TTestResult {
    bool Ok = false;
    QString Message;
};

// The file the FTP test writes in the working folder and uploads.
inline const QString FtpTestFileName = QStringLiteral("Test.txt");

// Limits of the FTP test's client in milliseconds; 0 keeps the client's own
// (those of the service's uploads). Only tests shorten them.
struct TFtpTestLimits {
    int ConnectTimeout = 0;
    int ReadTimeout = 0;
};
TFtpTestLimits& FtpTestLimits();

// The first problem with the FTP fields as the user is told it, or empty.
QString CheckFtpFields(const QString& AServer, const QString& AUser, const QString& APassword);
// Logs in (over explicit FTPS with AUseTLS), writes Test.txt in the working
// folder and uploads it.
TTestResult RunFtpTest(const QString& AServer, const QString& AUser, const QString& APassword,
                       bool AUseTLS = false);

struct TSmtpTestParams {
    QString Server;
    int Port = 0;
    bool UseTLS = false;
    QString User;
    QString Password;
    QString From;
    QString Recipient;
};

// The first problem with the SMTP fields as the user is told it, or empty.
QString CheckSmtpFields(const QString& AServer, const QString& AUser, const QString& APassword,
                        const QString& AFrom);
// The port typed in the port field, or AConfigured when it holds no number.
int SmtpPortFromText(const QString& AText, int AConfigured);
// Sends the test mail to ARecipient.
TTestResult RunSmtpTest(const TSmtpTestParams& AParams);

} // namespace uConnectionTests
