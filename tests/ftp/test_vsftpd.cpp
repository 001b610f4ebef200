// The FTP client against Debian's vsftpd on loopback: plain, with TLS
// required (explicit FTPS), and over IPv6.
#include "common/uOVFtp.h"
#include "tests/support/MailServer.h"
#include "tests/support/Vsftpd.h"

#include <gtest/gtest.h>
#include <QBuffer>

using namespace testsupport;

namespace {

// SSL_CERT_FILE for the life of the object; the client reads it per log-in.
class TTrustedCertificates {
public:
    explicit TTrustedCertificates(const QString& AStem) {
        qputenv("SSL_CERT_FILE", (TestCertificatesDir() + '/' + AStem + ".pem").toUtf8());
    }
    ~TTrustedCertificates() { qunsetenv("SSL_CERT_FILE"); }
};

// Logs in to AServer and uploads AContent as AName; the error's text when
// anything fails, empty when it worked.
QString Upload(const QString& AAddress, bool AUseTls, const QByteArray& AContent,
               const QString& AName) {
    TOVFtpClient client;
    client.Host = AAddress;
    client.Username = TVsftpd::User();
    client.Password = QStringLiteral("shop@example.com");
    client.UseTLS = AUseTls;
    client.ReadTimeout = 10000;
    QBuffer source;
    source.setData(AContent);
    source.open(QIODevice::ReadOnly);
    try {
        client.Connect();
        client.Put(source, AName);
        client.Rename(AName, AName + QStringLiteral(".done"));
    } catch (const EOVFtpError& E) {
        return E.Message();
    }
    return QString();
}

#define REQUIRE_VSFTPD(server)                                                                     \
    if (!TVsftpd::Installed())                                                                     \
        GTEST_SKIP() << "vsftpd is not installed (tools/install-deps.sh installs it)";             \
    ASSERT_TRUE((server).Running()) << (server).Log().toStdString()

const QByteArray Batch("\"a\",\"b\"\r\n\"c\",\"d\"\r\n");

TEST(Vsftpd, PlainUploadAndRename) {
    TVsftpd server;
    REQUIRE_VSFTPD(server);
    EXPECT_EQ(Upload(server.Address(), false, Batch, "one.csv"), "") << server.Log().toStdString();
    EXPECT_EQ(server.Files(), QStringList{"one.csv.done"});
    EXPECT_EQ(server.Stored("one.csv.done"), Batch);
}

TEST(Vsftpd, TlsRequiredTakesFtpsAndRefusesClearText) {
    TVsftpd server(true);
    REQUIRE_VSFTPD(server);
    {
        TTrustedCertificates trusted("ca");
        EXPECT_EQ(Upload(server.Address(), true, Batch, "tls.csv"), "")
            << server.Log().toStdString();
        EXPECT_EQ(server.Stored("tls.csv.done"), Batch);
        // The log-in is refused in clear text; nothing is stored.
        const QString plain = Upload(server.Address(), false, Batch, "plain.csv");
        EXPECT_TRUE(plain.startsWith("530 ")) << plain.toStdString();
    }
    {
        TTrustedCertificates other("other-ca");
        const QString error = Upload(server.Address(), true, Batch, "untrusted.csv");
        EXPECT_TRUE(error.startsWith("The FTP server's certificate could not be verified: "))
            << error.toStdString();
    }
    EXPECT_EQ(server.Files(), QStringList{"tls.csv.done"});
}

TEST(Vsftpd, FtpsToAServerWithoutTlsSendsNothing) {
    TVsftpd server;
    REQUIRE_VSFTPD(server);
    TTrustedCertificates trusted("ca");
    const QString error = Upload(server.Address(), true, Batch, "never.csv");
    EXPECT_TRUE(error.startsWith("The FTP server offered no TLS (AUTH TLS), which the settings "
                                 "require; nothing was sent: "))
        << error.toStdString();
    EXPECT_FALSE(server.Log().contains("\"USER ")) << server.Log().toStdString();
    EXPECT_TRUE(server.Files().isEmpty());
}

TEST(Vsftpd, IPv6AddressesWithAndWithoutPort) {
    if (!HasIPv6Loopback())
        GTEST_SKIP() << "this machine has no ::1";
    for (const bool tls : {false, true}) {
        TVsftpd server(tls, QStringLiteral("::1"));
        REQUIRE_VSFTPD(server);
        TTrustedCertificates trusted("ca");
        EXPECT_EQ(Upload(server.Address(), tls, Batch, "six.csv"), "")
            << server.Log().toStdString();
        EXPECT_EQ(server.Stored("six.csv.done"), Batch) << tls;
    }
    // A bare address names port 21, where nothing listens here.
    const QString error = Upload(QStringLiteral("::1"), false, Batch, "none.csv");
    EXPECT_FALSE(error.contains("bad/illegal format")) << error.toStdString();
}

} // namespace
