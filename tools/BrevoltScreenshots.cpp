// Renders the configuration utility's windows offscreen at their design size
// into PNG files, against a sample Retail Pro 9 environment of recent
// invoices: the two pages of the main window (the schedule in both modes),
// a location's preview, the about box, the service check and the test mail's
// address window. Run by tools/screenshots.sh.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "configurator/dBrevoltEmailTest.h"
#include "configurator/fBrevolt9About.h"
#include "configurator/fBrevolt9Config.h"
#include "configurator/fBrevolt9Preview.h"
#include "configurator/fBrevoltCheckService.h"
#include "platform/ServiceControl.h"
#include "tools/uBrevoltSampleDatabase.h"

#include <cstdio>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

using namespace uBrevoltRPro9ConnectorCommon;

namespace {

bool Save(QWidget* AWidget, const QString& AFolder, const QString& AName) {
    const QString path = QDir(AFolder).filePath(AName);
    const bool ok = AWidget->grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

// The demo's settings, so that every field shows something.
void WriteSampleConfig(const QString& AServiceDir) {
    uOVUtils::SetExeDir(AServiceDir);
    TConnectorConfig& cfg = Config();
    cfg.locations = QStringList{LocationKey(QStringLiteral("1"), QStringLiteral("1")),
                                LocationKey(QStringLiteral("2"), QStringLiteral("1"))};
    cfg.scanscheduling = 0;
    cfg.scaninterval = 5 * 60000;
    cfg.sleepbegin = 1.0 / 24;
    cfg.sleepend = 3.0 / 24;
    cfg.ftpserver = QStringLiteral("ftp.brevolt.invalid");
    cfg.ftpusername = QStringLiteral("demoshop");
    cfg.ftppassword = QStringLiteral("demo");
    cfg.notifications = true;
    cfg.smtpserver = QStringLiteral("mail.shop.invalid");
    cfg.smtpport = 587;
    cfg.smtpusername = QStringLiteral("connector");
    cfg.smtppassword = QStringLiteral("secret");
    cfg.smtpfrom = QStringLiteral("connector@shop.invalid");
    cfg.startupemails = QStringLiteral("it@shop.invalid");
    cfg.erroremails = QStringLiteral("it@shop.invalid, support@shop.invalid");
    cfg.lastquery = uOVUtils::Now() - 0.5;
    SaveConfig();
}

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: BrevoltScreenshots OUTPUT_FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    QTemporaryDir work;
    try {
        const auto paths =
            uBrevoltSampleDatabase::CreateSampleEnvironment(work.path(), {500, QDateTime()});
        qputenv("BREVOLT_REGISTRY", paths.RegistryFile.toLocal8Bit());
        WriteSampleConfig(paths.ServiceDirectory);
    } catch (const std::exception& E) {
        std::fprintf(stderr, "BrevoltScreenshots: %s\n", E.what());
        return 1;
    }

    bool ok = true;
    TfrmBrevoltConfig window;
    window.resize(676, 838);
    window.show();
    // Each page is grabbed once its layout has settled (after the events that
    // showing it posted), then the preview once its query has answered.
    auto later = [&](auto AStep) {
        QTimer::singleShot(50, &window, AStep);
    };
    QObject::connect(&window, &TfrmBrevoltConfig::LocationsLoadFinished, &window, [&] {
        later([&] {
            ok &= Save(&window, out, QStringLiteral("configurator-schedule.png"));
            window.rbTimes->setChecked(true);
            window.edtDayTimes[1][0]->setText(QStringLiteral("09:30 AM"));
            window.edtDayTimes[1][1]->setText(QStringLiteral("05:30 PM"));
            later([&] {
                ok &= Save(&window, out, QStringLiteral("configurator-schedule-times.png"));
                window.rbIntervals->setChecked(true);
                window.PageControl1->setCurrentIndex(1);
                later([&] {
                    ok &= Save(&window, out, QStringLiteral("configurator-settings.png"));
                    window.PageControl1->setCurrentIndex(0);
                    TfrmBrevoltAbout about(nullptr, QStringLiteral("9.1.0.1"));
                    about.show();
                    ok &= Save(&about, out, QStringLiteral("about.png"));
                    // A stopped service, as the service manager would report it.
                    TfrmCheckService check;
                    check.Execute(TfrmBrevoltConfig::ServiceName);
                    check.ShowServiceState(platform::ServiceStopped);
                    ok &= Save(&check, out, QStringLiteral("check-service.png"));
                    check.close();
                    TdlgEmailTestAddress address;
                    address.edtEmailAddress->setText(QStringLiteral("it@shop.invalid"));
                    address.show();
                    ok &= Save(&address, out, QStringLiteral("email-test.png"));
                    window.PreviewClick(window.StorePanel(QStringLiteral("001.001")));
                });
            });
        });
    });
    // Hidden first: the window holds edits made for the pictures, and
    // closing it would ask whether to discard them.
    const auto finish = [&window] {
        window.hide();
        QApplication::quit();
    };
    QObject::connect(&window, &TfrmBrevoltConfig::PreviewFinished, &app, finish);
    auto* poll = new QTimer(&window);
    QObject::connect(poll, &QTimer::timeout, &window, [&] {
        for (auto* preview : window.findChildren<TfrmPreview*>()) {
            if (preview->isVisible()) {
                poll->stop();
                ok &= Save(preview, out, QStringLiteral("preview.png"));
                preview->close();
            }
        }
    });
    poll->start(50);
    // Whatever happens, the tool ends.
    QTimer::singleShot(30000, &app, [&] {
        std::fprintf(stderr, "BrevoltScreenshots: timed out\n");
        ok = false;
        finish();
    });
    QApplication::exec();
    return ok ? 0 : 1;
}
