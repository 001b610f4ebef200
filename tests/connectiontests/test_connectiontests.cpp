// The "Test" buttons of the Settings page, in-process under the offscreen
// platform: the real window against a real FTP server (pyftpdlib) and a real
// mail server (aiosmtpd) on 127.0.0.1, with the messages the user would read.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uOVLogging.h"
#include "configurator/dBrevoltEmailTest.h"
#include "configurator/fBrevolt9Config.h"
#include "configurator/uConnectionTests.h"
#include "tests/support/FtpServer.h"
#include "tests/support/MailServer.h"
#include "tests/support/TestApplication.h"
#include "tests/support/TestAppLogger.h"
#include "tests/support/Vsftpd.h"

#include <QAccessible>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>

using namespace testsupport;
using uBrevoltRPro9ConnectorCommon::Config;

namespace {

const QString FtpUser = QStringLiteral("shopone");
const QString FtpPassword = QStringLiteral("secret");
const QString MailUser = QStringLiteral("mailuser");
const QString MailPassword = QStringLiteral("m4ilpass");
const QString Sender = QStringLiteral("shop@store.test");
const QString Body =
    QStringLiteral("This is a test email from the Brevolt Connector by Orvane Software");
// Long enough for a server on loopback, short of the test's own limit.
constexpr int ResultWaitMs = 20000;

// The program's working folder for the life of the object.
class TWorkingDir {
public:
    explicit TWorkingDir(const QString& APath) : FPrevious(QDir::currentPath()) {
        QDir::setCurrent(APath);
    }
    ~TWorkingDir() { QDir::setCurrent(FPrevious); }

private:
    QString FPrevious;
};

// Short FTP limits for one test; the product's stay untouched.
class TShortFtpLimits {
public:
    TShortFtpLimits() { uConnectionTests::FtpTestLimits() = {1000, 1000}; }
    ~TShortFtpLimits() { uConnectionTests::FtpTestLimits() = {}; }
};

class ConnectionTestsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testsupport::EnsureApplication("test_connectiontests");
        FFtp = new TFtpServer(FtpUser, FtpPassword);
    }
    static void TearDownTestSuite() {
        delete FFtp;
        FFtp = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(FFtp && FFtp->Running());
        FFtp->ClearCommands();
        // No registry: the store list fails, which these tests do not need.
        qputenv("BREVOLT_REGISTRY", FDir.File("none.reg").toUtf8());
        uOVUtils::SetExeDir(FDir.Dir());
        uOVLogging::SetLogDir(FDir.Dir() + "logs/");
        QDir().mkpath(uOVLogging::LogDir());
        StartTestAppLogger("ConnectionTests");
        Config() = TConnectorConfig();
    }

    void TearDown() override {
        FWindow.reset();
        EndTestAppLogger();
    }

    // The window on the Settings page, its store list answered and that
    // answer's message closed.
    TfrmBrevoltConfig& Window() {
        FWindow = std::make_unique<TfrmBrevoltConfig>();
        QSignalSpy loaded(FWindow.get(), &TfrmBrevoltConfig::LocationsLoadFinished);
        FWindow->show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return loaded.count() > 0; }, 10000));
        for (QMessageBox* box : FWindow->findChildren<QMessageBox*>())
            box->close();
        EXPECT_TRUE(QTest::qWaitFor([&] { return Messages().isEmpty(); }, 5000));
        FWindow->PageControl1->setCurrentIndex(1);
        FFinished =
            std::make_unique<QSignalSpy>(FWindow.get(), &TfrmBrevoltConfig::ConnectionTestFinished);
        return *FWindow;
    }

    // The texts of the message boxes on the screen.
    QStringList Messages() const {
        QStringList texts;
        for (QMessageBox* box : FWindow->findChildren<QMessageBox*>())
            if (box->isVisible())
                texts.append(box->text());
        return texts;
    }

    // Waits for the test to end and returns the messages it left.
    QStringList Result() {
        EXPECT_TRUE(QTest::qWaitFor([&] { return FFinished->count() > 0; }, ResultWaitMs));
        return Messages();
    }

    TdlgEmailTestAddress* AddressDialog() const {
        for (auto* dialog : FWindow->findChildren<TdlgEmailTestAddress*>())
            if (dialog->isVisible())
                return dialog;
        return nullptr;
    }

    void SetFtpFields(const QString& AServer, const QString& AUser, const QString& APassword) {
        FWindow->edtFTPServer->setText(AServer);
        FWindow->edtFTPUsername->setText(AUser);
        FWindow->edtFTPPassword->setText(APassword);
    }

    void SetSmtpFields(const QString& AServer, const QString& APort) {
        FWindow->cbNotificationsEnabled->setChecked(true);
        FWindow->edtSMTPServer->setText(AServer);
        FWindow->edtSMTPPort->setText(APort);
        FWindow->cbUseSSLTLS->setChecked(false);
        FWindow->edtSMTPUsername->setText(MailUser);
        FWindow->edtSMTPPassword->setText(MailPassword);
        FWindow->edtSMTPFrom->setText(Sender);
    }

    static TMailServerOptions MailOptions() {
        TMailServerOptions o;
        o.AuthRequired = true;
        o.User = MailUser;
        o.Password = MailPassword;
        o.RefusePrefix = QStringLiteral("refused");
        return o;
    }

    static TFtpServer& Ftp() { return *FFtp; }

    TTempDir FDir;
    TTempDir FWork;
    std::unique_ptr<TfrmBrevoltConfig> FWindow;
    std::unique_ptr<QSignalSpy> FFinished;

private:
    static inline TFtpServer* FFtp = nullptr;
};

// --- FTP ---------------------------------------------------------------------

TEST_F(ConnectionTestsTest, FtpTestUploadsTheTestFileAndLogsOut) {
    TWorkingDir cwd(FWork.Path());
    // An older, longer test file is replaced, not overwritten in place.
    WriteFileBytes(FWork.File("Test.txt"), QByteArray(200, 'x'));
    TfrmBrevoltConfig& window = Window();
    SetFtpFields(" " + Ftp().Address() + " ", "  " + FtpUser + " ", " " + FtpPassword + " ");

    window.btnTestFTPClick();
    EXPECT_FALSE(window.btnTestFTP->isEnabled());
    EXPECT_EQ(Result(), QStringList{"Connection successful"});
    EXPECT_TRUE(window.btnTestFTP->isEnabled());

    const QByteArray expected = "Test file from " + FtpUser.toLatin1() + "\r\n";
    EXPECT_EQ(Ftp().Received("Test.txt"), expected);
    EXPECT_EQ(ReadFileBytes(FWork.File("Test.txt")), expected);
    const QStringList commands = Ftp().Commands();
    EXPECT_TRUE(commands.contains(QString("USER " + FtpUser))) << commands.join('|').toStdString();
    EXPECT_TRUE(commands.contains("STOR Test.txt")) << commands.join('|').toStdString();
    EXPECT_EQ(commands.value(commands.size() - 1), "QUIT");
    // Nothing of the configuration changed, nothing was saved.
    EXPECT_EQ(Config().ftpserver, TConnectorConfig().ftpserver);
    EXPECT_EQ(Config().ftpusername, TConnectorConfig().ftpusername);
    EXPECT_FALSE(QFile::exists(uBrevoltRPro9ConnectorCommon::ConfigFilePath()));
    const QString log = TestAppLoggerText();
    EXPECT_TRUE(log.contains(QString("Testing the FTP connection to " + Ftp().Address())))
        << log.toStdString();
    EXPECT_TRUE(log.contains("FTP test: connection successful"));
    EXPECT_FALSE(log.contains(FtpPassword));
}

// The box beside the FTP fields, against a server that requires TLS.
TEST_F(ConnectionTestsTest, FtpTestUsesFtpsWhenTheBoxIsChecked) {
    if (!TVsftpd::Installed())
        GTEST_SKIP() << "vsftpd is not installed (tools/install-deps.sh installs it)";
    TVsftpd ftps(true);
    ASSERT_TRUE(ftps.Running()) << ftps.Log().toStdString();
    qputenv("SSL_CERT_FILE", (TestCertificatesDir() + "/ca.pem").toUtf8());
    TWorkingDir cwd(FWork.Path());
    TfrmBrevoltConfig& window = Window();
    SetFtpFields(ftps.Address(), TVsftpd::User(), "shop@example.com");
    for (const bool tls : {false, true}) {
        for (QMessageBox* box : window.findChildren<QMessageBox*>())
            box->close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return Messages().isEmpty(); }, 5000));
        FFinished->clear();
        window.cbFTPUseTLS->setChecked(tls);
        window.btnTestFTPClick();
        const QStringList result = Result();
        ASSERT_EQ(result.size(), 1);
        if (tls)
            EXPECT_EQ(result[0], "Connection successful") << ftps.Log().toStdString();
        else
            EXPECT_TRUE(result[0].startsWith("Connection failed: 530 ")) << result[0].toStdString();
    }
    qunsetenv("SSL_CERT_FILE");
    EXPECT_EQ(ftps.Stored("Test.txt"), "Test file from anonymous\r\n");
}

// A refused upload leaves no partial test file on the server.
TEST_F(ConnectionTestsTest, FtpTestRefusedOnTheWayLeavesNothingBehind) {
    TFtpServer full(FtpUser, FtpPassword, "quota:4");
    ASSERT_TRUE(full.Running());
    TWorkingDir cwd(FWork.Path());
    const uConnectionTests::TTestResult result =
        uConnectionTests::RunFtpTest(full.Address(), FtpUser, FtpPassword);
    EXPECT_FALSE(result.Ok);
    EXPECT_EQ(result.Message, "Connection failed: 552 Quota exceeded; upload aborted.");
    EXPECT_TRUE(full.Files().isEmpty()) << full.Files().join('|').toStdString();
}

TEST_F(ConnectionTestsTest, FtpFieldsAreCheckedBeforeAnyConnection) {
    struct Case {
        const char* Server;
        const char* User;
        const char* Password;
        const char* Message;
    };
    const QString address = Ftp().Address();
    const QByteArray a = address.toLatin1();
    for (const Case c : {
             Case{"  ", "", "", "Please enter a valid URL for the FTP server"},
             Case{a.constData(), " ", "x",
                  "Please enter the FTP username that Brevolt provided to you"},
             Case{a.constData(), "shopone", "",
                  "Please enter the FTP password that Brevolt provided to you"},
             Case{a.constData(), "shopone", "   ",
                  "Please enter the FTP password that Brevolt provided to you"},
         }) {
        SCOPED_TRACE(c.Message);
        Window();
        SetFtpFields(c.Server, c.User, c.Password);
        FWindow->btnTestFTPClick();
        EXPECT_EQ(Result(), QStringList{c.Message});
        EXPECT_TRUE(FWindow->btnTestFTP->isEnabled());
        EXPECT_TRUE(Ftp().Commands().isEmpty()) << Ftp().Commands().join('|').toStdString();
    }
}

TEST_F(ConnectionTestsTest, FtpRejectedLogInShowsTheServersReply) {
    TWorkingDir cwd(FWork.Path());
    Window();
    SetFtpFields(Ftp().Address(), FtpUser, "wrong");
    FWindow->btnTestFTPClick();
    const QStringList messages = Result();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.at(0).startsWith("Connection failed: 530 "))
        << messages.at(0).toStdString();
    EXPECT_FALSE(Ftp().Commands().contains("STOR Test.txt"));
    EXPECT_FALSE(QFile::exists(FWork.File("Test.txt")));
}

TEST_F(ConnectionTestsTest, FtpServerOutOfReachEndsInConnectionFailed) {
    struct Case {
        const char* Mode; // "" for a port with nothing listening
        const char* Says;
    };
    TShortFtpLimits limits;
    TWorkingDir cwd(FWork.Path());
    for (const Case c : {Case{"", "127.0.0.1"}, Case{"mute", "timed out"}}) {
        SCOPED_TRACE(c.Mode);
        std::unique_ptr<TFtpServer> mute;
        QString address = "127.0.0.1:" + QString::number(TFtpServer::ClosedPort());
        if (*c.Mode) {
            mute = std::make_unique<TFtpServer>(FtpUser, FtpPassword, c.Mode);
            ASSERT_TRUE(mute->Running());
            address = mute->Address();
        }
        Window();
        SetFtpFields(address, FtpUser, FtpPassword);
        QElapsedTimer timer;
        timer.start();
        FWindow->btnTestFTPClick();
        const QStringList messages = Result();
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages.at(0).startsWith("Connection failed: "))
            << messages.at(0).toStdString();
        EXPECT_TRUE(messages.at(0).contains(c.Says, Qt::CaseInsensitive))
            << messages.at(0).toStdString();
        EXPECT_LT(timer.elapsed(), 8000);
        EXPECT_TRUE(FWindow->btnTestFTP->isEnabled());
    }
}

TEST_F(ConnectionTestsTest, FtpWorkingFolderThatCannotTakeTheFileIsNamed) {
    struct Case {
        const char* Name;
        bool Deleted;     // the working folder is removed after changing to it
        const char* Says; // besides the file's name
    };
    for (const Case c : {Case{"deleted", true, "working folder"},
#ifdef _WIN32
                         Case{"folder in the way", false, "Access denied"}}) {
#else
                         Case{"folder in the way", false, "Is a directory"}}) {
#endif
        SCOPED_TRACE(c.Name);
#ifdef _WIN32
        // Windows does not remove a process's working folder.
        if (c.Deleted)
            continue;
#endif
        Ftp().ClearCommands();
        const QString folder = FWork.File(c.Name);
        ASSERT_TRUE(QDir().mkpath(folder));
        TWorkingDir cwd(folder);
        if (c.Deleted)
            ASSERT_TRUE(QDir(folder).removeRecursively());
        else
            ASSERT_TRUE(QDir(folder).mkdir("Test.txt"));
        Window();
        SetFtpFields(Ftp().Address(), FtpUser, FtpPassword);
        FWindow->btnTestFTPClick();
        const QStringList messages = Result();
        ASSERT_EQ(messages.size(), 1);
        const QString text = messages.at(0);
        EXPECT_TRUE(text.startsWith("Connection failed: ")) << text.toStdString();
        EXPECT_TRUE(text.contains("Test.txt") && text.contains(c.Says)) << text.toStdString();
        if (!c.Deleted) {
            EXPECT_TRUE(text.contains(QDir::toNativeSeparators(folder))) << text.toStdString();
        }
        // Logged in, then out again without an upload.
        const QStringList commands = Ftp().Commands();
        EXPECT_TRUE(commands.contains(QString("USER " + FtpUser)))
            << commands.join('|').toStdString();
        EXPECT_FALSE(commands.contains("STOR Test.txt"));
        EXPECT_EQ(commands.value(commands.size() - 1), "QUIT");
    }
}

// --- SMTP --------------------------------------------------------------------

TEST(EmailTestAddress, ValidityRule) {
    struct Case {
        const char* Text;
        bool Valid;
    };
    for (const Case c : {
             Case{"someone@example.com", true},
             Case{"averyveryverylongname@b.co", true},
             Case{"a@b.c", true},
             Case{"first.last@sub.example.org", true},
             Case{"@example.com", false}, // at sign first
             Case{"someone@example", false},
             Case{"some.one@example", false}, // the dot before the at sign does not count
             Case{"someone@.com", false},
             Case{"someone", false},
             Case{"", false},
         }) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(dBrevoltEmailTest::IsValidEmailAddress(c.Text), c.Valid);
    }
}

TEST_F(ConnectionTestsTest, SmtpTestSendsTheTestMailToTheTypedAddress) {
    struct Case {
        const char* Name;
        bool PortFromConfig; // the port field holds no number
        const char* Offered; // the server's log-in methods
    };
    for (const Case c :
         {Case{"typed port", false, "LOGIN PLAIN"}, Case{"configured port", true, "LOGIN PLAIN"},
          Case{"PLAIN only", false, "PLAIN"}}) {
        SCOPED_TRACE(c.Name);
        TMailServerOptions options = MailOptions();
        options.AuthMechanisms = QString::fromLatin1(c.Offered);
        TMailServer server(options);
        Config().smtpport = c.PortFromConfig ? server.Port() : 1;
        Window();
        SetSmtpFields(" 127.0.0.1 ", c.PortFromConfig ? "none" : QString::number(server.Port()));
        FWindow->btnTestSMTPClick();

        TdlgEmailTestAddress* dialog = AddressDialog();
        ASSERT_TRUE(dialog);
        EXPECT_EQ(dialog->windowTitle(), "Email Test");
        EXPECT_EQ(dialog->size(), QSize(331, 120));
        EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
        EXPECT_EQ(
            QAccessible::queryAccessibleInterface(dialog->edtEmailAddress)->text(QAccessible::Name),
            "Email address:");
        EXPECT_TRUE(dialog->AdvGlowButton1->isDefault());
        dialog->edtEmailAddress->setText("  someone@example.test ");
        // Enter in the field presses Ok.
        QTest::keyClick(dialog->edtEmailAddress, Qt::Key_Return);
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_FALSE(FWindow->btnTestSMTP->isEnabled());

        EXPECT_EQ(Result(), QStringList{"Send was successful"});
        EXPECT_TRUE(FWindow->btnTestSMTP->isEnabled());
        // Without LOGIN offered, the first connection only learns the methods.
        const int connections = QString::fromLatin1(c.Offered).contains("LOGIN") ? 1 : 2;
        const QJsonArray sessions = server.Sessions(connections);
        ASSERT_EQ(sessions.size(), connections);
        const QJsonObject session = sessions.at(connections - 1).toObject();
        EXPECT_EQ(session["auth_user"].toString(), MailUser);
        const QJsonArray mails = session["mails"].toArray();
        ASSERT_EQ(mails.size(), 1);
        const QJsonObject mail = mails.at(0).toObject();
        EXPECT_EQ(mail["from"].toString(), Sender);
        EXPECT_EQ(mail["rcpts"].toArray(), QJsonArray{"someone@example.test"});
        const QString data = mail["data"].toString();
        EXPECT_TRUE(data.contains("\r\nSubject: Test\r\n") || data.startsWith("Subject: Test\r\n"))
            << data.toStdString();
        EXPECT_TRUE(data.contains(QString("\r\n\r\n" + Body + "\r\n"))) << data.toStdString();
    }
}

TEST_F(ConnectionTestsTest, SmtpRefusedRecipientShowsTheServersReply) {
    TMailServer server(MailOptions());
    Window();
    SetSmtpFields("127.0.0.1", QString::number(server.Port()));
    FWindow->btnTestSMTPClick();
    TdlgEmailTestAddress* dialog = AddressDialog();
    ASSERT_TRUE(dialog);
    dialog->edtEmailAddress->setText("refused@example.test");
    dialog->AdvGlowButton1->click();
    const QStringList messages = Result();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.at(0).startsWith("Connection failed: 550 "))
        << messages.at(0).toStdString();
    EXPECT_TRUE(messages.at(0).contains("refused@example.test")) << messages.at(0).toStdString();
}

// Several recipients: the mail goes to those accepted, the result names the
// others with the server's reply.
TEST_F(ConnectionTestsTest, SmtpTestNamesRecipientsNotReached) {
    TMailServer server(MailOptions());
    const uConnectionTests::TTestResult result = uConnectionTests::RunSmtpTest(
        {QStringLiteral("127.0.0.1"), server.Port(), false, MailUser, MailPassword, Sender,
         QStringLiteral("someone@example.test, refused@example.test, Front Desk")});
    EXPECT_TRUE(result.Ok);
    EXPECT_EQ(result.Message,
              "Send was successful, but not to every recipient: \"Front Desk\" is not a mail "
              "address; refused refused@example.test: 550 5.1.1 <refused@example.test>: "
              "Recipient address rejected");
    const QJsonArray mails = server.Sessions().at(0)["mails"].toArray();
    ASSERT_EQ(mails.size(), 1);
    EXPECT_EQ(mails.at(0)["rcpts"].toArray(), QJsonArray{"someone@example.test"});
}

TEST_F(ConnectionTestsTest, SmtpCancelledAddressSendsNothing) {
    struct Case {
        const char* Name;
        bool Escape; // otherwise the Cancel button
    };
    TMailServer server(MailOptions());
    for (const Case c : {Case{"Cancel", false}, Case{"Escape", true}}) {
        SCOPED_TRACE(c.Name);
        Window();
        SetSmtpFields("127.0.0.1", QString::number(server.Port()));
        FWindow->btnTestSMTPClick();
        TdlgEmailTestAddress* dialog = AddressDialog();
        ASSERT_TRUE(dialog);
        dialog->edtEmailAddress->setText("someone@example.test");
        if (c.Escape)
            QTest::keyClick(dialog, Qt::Key_Escape);
        else
            dialog->AdvGlowButton2->click();
        EXPECT_EQ(Result(), QStringList());
        EXPECT_EQ(FFinished->count(), 1);
        EXPECT_TRUE(FWindow->btnTestSMTP->isEnabled());
        // No send was started, so none can arrive later.
        EXPECT_TRUE(FWindow->findChildren<QFutureWatcherBase*>().isEmpty());
        EXPECT_TRUE(server.Sessions(1, 0).isEmpty());
    }
}

TEST_F(ConnectionTestsTest, SmtpFieldsAreCheckedBeforeAskingForTheAddress) {
    struct Case {
        const char* Server;
        const char* User;
        const char* Password;
        const char* From;
        const char* Message;
    };
    for (const Case c : {
             Case{" ", "", "", "", "Please enter a valid URL for the SMTP server"},
             Case{"127.0.0.1", " ", "x", "a@b.co", "Please enter the SMTP username"},
             Case{"127.0.0.1", "u", " ", "a@b.co", "Please enter the SMTP password"},
             // The service sends nothing without a sender; the test must not pass.
             Case{"127.0.0.1", "u", "x", " ",
                  "Please enter the \"From email address:\"; the service sends no notices "
                  "without it"},
             Case{"127.0.0.1", "u", "x", "a@b.co, c@d.co",
                  "\"a@b.co, c@d.co\" under \"From email address:\" is not one mail address"},
         }) {
        SCOPED_TRACE(c.Message);
        Window();
        SetSmtpFields(c.Server, "25");
        FWindow->edtSMTPUsername->setText(c.User);
        FWindow->edtSMTPPassword->setText(c.Password);
        FWindow->edtSMTPFrom->setText(c.From);
        FWindow->btnTestSMTPClick();
        EXPECT_EQ(Result(), QStringList{c.Message});
        EXPECT_EQ(AddressDialog(), nullptr);
    }
}

TEST_F(ConnectionTestsTest, AddressWindowTrimsAndStaysOpenOnAnInvalidAddress) {
    struct Case {
        const char* Typed;
        const char* Shown; // the field after Ok
        bool Accepted;
    };
    for (const Case c : {Case{"  @b.co ", "@b.co", false}, Case{" x@b.co  ", "x@b.co", true}}) {
        SCOPED_TRACE(c.Typed);
        Window();
        auto* dialog = new TdlgEmailTestAddress(FWindow.get());
        QSignalSpy finished(dialog, &QDialog::finished);
        dialog->open();
        dialog->edtEmailAddress->setText(c.Typed);
        dialog->AdvGlowButton1Click();
        EXPECT_EQ(dialog->edtEmailAddress->text(), c.Shown);
        EXPECT_EQ(dialog->isVisible(), !c.Accepted);
        if (c.Accepted) {
            ASSERT_EQ(finished.count(), 1);
            EXPECT_EQ(finished.at(0).at(0).toInt(), QDialog::Accepted);
            EXPECT_EQ(Messages(), QStringList());
        } else {
            EXPECT_EQ(finished.count(), 0);
            EXPECT_EQ(Messages(), QStringList{"Invalid email address"});
        }
    }
}

} // namespace
