#include "configurator/uConnectionTests.h"

#include "common/uOVCodePage.h"
#include "common/uOVException.h"
#include "common/uOVFtp.h"
#include "common/uOVLogging.h"
#include "common/uOVNet.h"
#include "common/uOVTextStream.h"

#include <memory>
#include <QDir>
#include <QFile>

namespace uConnectionTests {

namespace {

const QString AreaFtp = QStringLiteral("TfrmBrevoltConfig.btnTestFTPClick");
const QString AreaSmtp = QStringLiteral("TfrmBrevoltConfig.btnTestSMTPClick");
const QString FailedPrefix = QStringLiteral("Connection failed: ");
const QString TestMailSubject = QStringLiteral("Test");
const QString TestMailLine =
    QStringLiteral("This is a test email from the Brevolt Connector by Orvane Software");

// Logs out however the test ends once the client has tried to connect.
class TFtpSession {
public:
    explicit TFtpSession(TOVFtpClient& AClient) : FClient(AClient) {}
    ~TFtpSession() { FClient.Disconnect(); }
    TFtpSession(const TFtpSession&) = delete;
    TFtpSession& operator=(const TFtpSession&) = delete;

private:
    TOVFtpClient& FClient;
};

// Why Test.txt cannot be made, naming the folder it was meant for.
QString FolderProblem(const QString& AFolder, const QString& AReason) {
    if (AFolder.isEmpty())
        return QStringLiteral("The test file ") + FtpTestFileName +
               QStringLiteral(" cannot be created: the program's working folder no longer "
                              "exists or cannot be read (") +
               AReason + QLatin1Char(')');
    return QStringLiteral("The test file ") + FtpTestFileName +
           QStringLiteral(" cannot be created in the working folder \"") +
           QDir::toNativeSeparators(AFolder) + QStringLiteral("\": ") + AReason;
}

// Test.txt in the working folder, new (an older one is replaced), holding
// the test line and rewound for the upload.
std::unique_ptr<TAnsiTextStream> WriteFtpTestFile(const QString& AUser) {
    const QString folder = QDir::currentPath();
    auto* file =
        new QFile(folder.isEmpty() ? FtpTestFileName : QDir(folder).filePath(FtpTestFileName));
    auto stream = std::make_unique<TAnsiTextStream>(file);
    if (!stream->open(QIODevice::ReadWrite | QIODevice::Truncate))
        throw EInOutError(FolderProblem(folder, file->errorString()));
    const QByteArray line = uOVCodePage::ToAnsi(QStringLiteral("Test file from ") + AUser);
    if (stream->WriteLn(line) != line.size() + 2 || !file->flush() || !stream->seek(0))
        throw EInOutError(FolderProblem(folder, file->errorString()));
    return stream;
}

// The client's own words for an error, made to say "timed out" when the
// server stopped answering (libcurl calls some of those a "timeout").
QString FtpErrorText(const QString& AMessage) {
    if (AMessage.contains(QLatin1String("timeout"), Qt::CaseInsensitive) &&
        !AMessage.contains(QLatin1String("timed out"), Qt::CaseInsensitive))
        return QStringLiteral("The FTP server timed out (") + AMessage + QLatin1Char(')');
    return AMessage;
}

TTestResult Failed(const QString& AText, const QString& AArea) {
    uOVLogging::err(QStringLiteral("Test failed: ") + AText, AArea);
    return {false, FailedPrefix + AText};
}

} // namespace

TFtpTestLimits& FtpTestLimits() {
    static TFtpTestLimits limits;
    return limits;
}

QString CheckFtpFields(const QString& AServer, const QString& AUser, const QString& APassword) {
    if (AServer.isEmpty())
        return QStringLiteral("Please enter a valid URL for the FTP server");
    if (AUser.isEmpty())
        return QStringLiteral("Please enter the FTP username that Brevolt provided to you");
    if (APassword.isEmpty())
        return QStringLiteral("Please enter the FTP password that Brevolt provided to you");
    return QString();
}

TTestResult RunFtpTest(const QString& AServer, const QString& AUser, const QString& APassword,
                       bool AUseTLS) {
    uOVLogging::info(1,
                     QStringLiteral("Testing the FTP connection to ") + AServer +
                         (AUseTLS ? QStringLiteral(" (FTPS)") : QString()) +
                         QStringLiteral(" as \"") + AUser + QLatin1Char('"'),
                     AreaFtp);
    try {
        TOVFtpClient client;
        client.Host = AServer;
        client.Username = AUser;
        client.Password = APassword;
        client.UseTLS = AUseTLS;
        if (FtpTestLimits().ConnectTimeout > 0)
            client.ConnectTimeout = FtpTestLimits().ConnectTimeout;
        if (FtpTestLimits().ReadTimeout > 0)
            client.ReadTimeout = FtpTestLimits().ReadTimeout;
        TTestResult result;
        {
            TFtpSession session(client);
            client.Connect();
            if (client.Connected()) {
                std::unique_ptr<TAnsiTextStream> stream = WriteFtpTestFile(AUser);
                client.Put(*stream->Stream(), FtpTestFileName);
                stream->close();
                result = {true, QStringLiteral("Connection successful")};
            } else {
                result = {false, QStringLiteral("Unable to connect -- check FTP credentials")};
            }
        }
        if (result.Ok)
            uOVLogging::info(1, QStringLiteral("FTP test: connection successful"), AreaFtp);
        else
            uOVLogging::err(result.Message, AreaFtp);
        return result;
    } catch (const EOVFtpError& E) {
        return Failed(FtpErrorText(E.Message()), AreaFtp);
    } catch (const std::exception& E) {
        return Failed(ExceptionMessage(E), AreaFtp);
    }
}

QString CheckSmtpFields(const QString& AServer, const QString& AUser, const QString& APassword,
                        const QString& AFrom) {
    if (AServer.isEmpty())
        return QStringLiteral("Please enter a valid URL for the SMTP server");
    if (AUser.isEmpty())
        return QStringLiteral("Please enter the SMTP username");
    if (APassword.isEmpty())
        return QStringLiteral("Please enter the SMTP password");
    // The service sends no notice without a sender, so a test mail from <>
    // would pass where the service then sends nothing.
    if (AFrom.isEmpty())
        return QStringLiteral("Please enter the \"From email address:\"; the service sends no "
                              "notices without it");
    const uOVNet::TAddressList sender = uOVNet::ParseAddressList(AFrom);
    if (sender.Addresses.size() != 1 || !sender.Invalid.isEmpty())
        return QLatin1Char('"') + AFrom +
               QStringLiteral("\" under \"From email address:\" is not one mail address");
    return QString();
}

int SmtpPortFromText(const QString& AText, int AConfigured) {
    bool ok = false;
    const int port = AText.trimmed().toInt(&ok, 10);
    return ok ? port : AConfigured;
}

TTestResult RunSmtpTest(const TSmtpTestParams& AParams) {
    uOVLogging::info(1,
                     QStringLiteral("Sending a test mail through ") + AParams.Server +
                         QLatin1Char(':') + QString::number(AParams.Port) +
                         (AParams.UseTLS ? QStringLiteral(" (TLS)") : QString()) +
                         QStringLiteral(" to ") + AParams.Recipient,
                     AreaSmtp);
    uOVNet::TMailResult sent;
    try {
        sent = uOVNet::SendMail(AParams.Server, AParams.Port, AParams.UseTLS, AParams.User,
                                AParams.Password, AParams.From, QString(), AParams.Recipient,
                                TestMailSubject, QStringList{TestMailLine});
    } catch (const std::exception& E) {
        return Failed(ExceptionMessage(E), AreaSmtp);
    }
    uOVLogging::info(1, QStringLiteral("SMTP test: the mail was sent"), AreaSmtp);
    QStringList missed;
    for (const QString& entry : sent.Invalid)
        missed << QLatin1Char('"') + entry + QStringLiteral("\" is not a mail address");
    for (const QString& refused : sent.Refused)
        missed << QStringLiteral("refused ") + refused;
    for (const QString& m : missed)
        uOVLogging::log(1, QStringLiteral("SMTP test: ") + m, uOVLogging::LOG_WARNING, AreaSmtp);
    return {true, QStringLiteral("Send was successful") +
                      (missed.isEmpty() ? QString()
                                        : QStringLiteral(", but not to every recipient: ") +
                                              missed.join(QStringLiteral("; ")))};
}

} // namespace uConnectionTests
