// The scan of a run: every configured location's recent invoices into one
// batch file, which is then uploaded and archived.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVCodePage.h"
#include "common/uOVDataAccess.h"
#include "common/uOVLogging.h"
#include "common/uOVTextStream.h"
#include "common/uOVUtils.h"
#include "service/dBrevoltRPro9ConnectorBatch.h"
#include "service/dBrevoltRPro9ConnectorLogic.h"

using namespace uBrevoltRPro9ConnectorCommon;
using namespace dBrevoltRPro9ConnectorBatch;
using uOVLogging::LOG_INFO;
using uOVLogging::LOG_WARNING;

namespace {

const QString AreaScan = QStringLiteral("TdlgConnectorLogic.ScanDatabase");
const QString AreaRead = QStringLiteral("TdlgConnectorLogic.ReadDataset");

void WriteBatchLine(TAnsiTextStream& AStream, const QString& ALine) {
    const QByteArray bytes = uOVCodePage::ToAnsi(ALine);
    if (AStream.WriteLn(bytes) != bytes.size() + 2)
        throw EInOutError(QStringLiteral("Batch file could not be written: ") +
                          (AStream.Stream() ? AStream.Stream()->errorString() : QString()));
}

} // namespace

void TdlgConnectorLogic::ScanDatabase() {
    AppLogger->logenter(5, AreaScan);
    try {
        TConnectorConfig& config = Config();
        if (config.locations.isEmpty()) {
            AppLogger->log(0,
                           QStringLiteral("No locations have been set up.  The system hasn't "
                                          "been properly configured."),
                           LOG_WARNING, AreaScan);
        } else {
            FCurrentRunDatetime = uOVUtils::Now();
            FRunWritten = 0;
            SetStep(FStep, QStringLiteral("opening stream"), AreaScan, 9);
            QString path;
            TAnsiTextStream* stream =
                OpenStream(config.ftpusername + QLatin1Char('_') +
                               uOVUtils::FormatDateTime(QStringLiteral("yyyymmddhhnnsszzz"),
                                                        FCurrentRunDatetime),
                           path);
            try {
                if (path.isEmpty()) {
                    AppLogger->log(0,
                                   QStringLiteral("After attempting to open stream, the path to "
                                                  "the file was empty"),
                                   LOG_WARNING, AreaScan);
                } else if (!stream) {
                    AppLogger->log(0, QStringLiteral("Stream was NIL after call to OpenStream"),
                                   LOG_WARNING, AreaScan);
                } else if (!stream->Stream()) {
                    AppLogger->log(
                        0, QStringLiteral("Wrapped stream was NIL after call to OpenStream"),
                        LOG_WARNING, AreaScan);
                } else {
                    SetStep(FStep, QStringLiteral("writing headers"), AreaScan);
                    WriteBatchLine(*stream, HeaderLine());
                    for (int r = 0; r < config.locations.size(); ++r)
                        ScanLocation(r, *stream);
                    if (FRunWritten > 0) {
                        SetStep(FStep, QStringLiteral("calling TransmitBatch"), AreaScan);
                        uOVLogging::info(5, QStringLiteral("Starting transmission of batch file."),
                                         AreaScan);
                        FTransmitted = TransmitBatch(path, stream);
                        if (FTransmitted)
                            config.lastquery = FCurrentRunDatetime;
                        SetStep(FStep, QStringLiteral("calling SavingConfig"), AreaScan);
                        uOVLogging::info(
                            5,
                            QStringLiteral(
                                "Updating configuration with last transmission timestamp."),
                            AreaScan);
                        // Only the key the run changed, so that settings the
                        // utility saved meanwhile survive.
                        SaveConfigKey(QStringLiteral("lastquery"));
                    } else {
                        uOVLogging::info(1, QStringLiteral("No invoices were found to transmit"),
                                         AreaScan);
                    }
                }
                SetStep(FStep, QStringLiteral("calling CloseStream"), AreaScan);
            } catch (...) {
                CloseStream(stream);
                ArchiveBatch(path);
                throw;
            }
            CloseStream(stream);
            ArchiveBatch(path);
            uOVLogging::info(9, QStringLiteral("Processing completed."), AreaScan);
        }
    } catch (const std::exception& E) {
        AppLogger->exc(E, AreaScan + QStringLiteral(" while ") + FStep);
        throw;
    }
    AppLogger->logexit(9, AreaScan);
}

void TdlgConnectorLogic::ScanLocation(int ASlot, TAnsiTextStream& AStream) {
    TConnectorConfig& config = Config();
    SetStep(FStep, QStringLiteral("pulling location code"), AreaScan);
    const QString item = config.locations.at(ASlot);
    if (item.isEmpty()) {
        uOVLogging::info(
            9, QStringLiteral("Skipping blank location for slot #") + QString::number(ASlot),
            AreaScan);
        return;
    }
    SetStep(FStep, QStringLiteral("pulling sbsno"), AreaScan);
    SetStep(FStep, QStringLiteral("parsing sbsno"), AreaScan);
    uOVLogging::info(9, QStringLiteral("     parsing [") + item + QLatin1Char(']'), AreaScan);
    const qsizetype dot = item.indexOf(QLatin1Char('.'));
    const QString sbsNo = dot < 0 ? QString() : item.left(dot);
    const QString storeNo = dot < 0 ? item : item.mid(dot + 1);
    uOVLogging::info(5, QStringLiteral("     Subsidiary..[") + sbsNo + QLatin1Char(']'), AreaScan);
    uOVLogging::info(5, QStringLiteral("     Store.......[") + storeNo + QLatin1Char(']'),
                     AreaScan);
    uOVLogging::info(9, QStringLiteral("     Opening query..."), AreaScan);
    FTitle =
        QStringLiteral("Processing Subsidiary ") + sbsNo + QStringLiteral(", Store ") + storeNo;
    Q_EMIT TitleChanged(FTitle);

    SetStep(FStep, QStringLiteral("calling OpenQuery"), AreaScan);
    std::unique_ptr<TConnectorDataset> query = uBrevoltRPro9ConnectorSQLs::OpenQuery(
        uBrevoltRPro9ConnectorSQLs::Session(), sbsNo, storeNo, QString(), config.lastquery);
    auto closeQuery = [&query] {
        try {
            if (query)
                query->Close();
        } catch (...) {
        }
        query.reset();
    };
    try {
        const int count = query ? query->RecordCount() : 0;
        if (count != 0) {
            SetStep(FStep, QStringLiteral("calling ReadDataset"), AreaScan);
            uOVLogging::info(1,
                             QStringLiteral("Starting read of item counts for ") +
                                 QString::number(count) + QStringLiteral(" recent invoices..."),
                             AreaScan);
            int written = 0;
            int skipped = 0;
            ReadDataset(*query, AStream, written, skipped);
            uOVLogging::info(1, QStringLiteral("Returning from read of location invoices"),
                             AreaScan);
            uOVLogging::info(
                1, QStringLiteral("     Read........") + QString::number(written + skipped),
                AreaScan);
            uOVLogging::info(1, QStringLiteral("     Written.....") + QString::number(written),
                             AreaScan);
            uOVLogging::info(1, QStringLiteral("     Skipped.....") + QString::number(skipped),
                             AreaScan);
            FRunWritten += written;
        } else {
            uOVLogging::info(
                5, QStringLiteral("     No recent invoices found for that subsidiary and store."),
                AreaScan);
        }
    } catch (...) {
        closeQuery();
        throw;
    }
    closeQuery();
}

void TdlgConnectorLogic::ReadDataset(TConnectorDataset& AQuery, TAnsiTextStream& AStream,
                                     int& written, int& skipped) {
    AppLogger->logenter(9, AreaRead);
    written = 0;
    skipped = 0;
    const int traceLevel = DebugMode ? 9 : -1;
    try {
        SetStep(FStep, QStringLiteral("getting record count"), AreaRead, traceLevel);
        FCurrentRow = 0;
        SetStep(FStep, QStringLiteral("starting loop"), AreaRead, 9);
        static const QStringList fields = {
            QStringLiteral("InvoiceNum"),       QStringLiteral("LocationId01"),
            QStringLiteral("LocationId02"),     QStringLiteral("FirstName"),
            QStringLiteral("LastName"),         QStringLiteral("Phone1"),
            QStringLiteral("Phone2"),           QStringLiteral("Email"),
            QStringLiteral("SalesPersonEmail"), QStringLiteral("SalesDate"),
            QStringLiteral("Allow_Call"),       QStringLiteral("Allow_Email")};
        // A missing column fails here, before the first row.
        for (const QString& name : fields)
            AQuery.FieldByName(name);
        // The values traced: the columns from LocationId01 to SalesDate,
        // then the two contact flags under their output names.
        static const QStringList traceNames =
            fields.mid(1, 9) +
            QStringList{QStringLiteral("Do_Not_Call"), QStringLiteral("Do_Not_Email")};
        auto text = [&AQuery](const QString& AName) {
            return AQuery.FieldByName(AName).AsString();
        };
        auto doNot = [&AQuery](const QString& AName) {
            return AQuery.FieldByName(AName).AsInteger() == 1 ? QStringLiteral("No")
                                                              : QStringLiteral("Yes");
        };

        while (!AQuery.Eof()) {
            ++FCurrentRow;
            SetStep(FStep, QStringLiteral("updating progress"), AreaRead, traceLevel);
            const QString invoice = text(QStringLiteral("InvoiceNum"));
            const QString email = text(QStringLiteral("Email"));
            if (email.isEmpty()) {
                uOVLogging::info(9,
                                 QStringLiteral("Invoice ") + invoice +
                                     QStringLiteral(" skipped -- email address missing."),
                                 AreaRead);
                ++skipped;
            } else {
                const QString sbs =
                    uOVUtils::LPad(text(QStringLiteral("LocationId01")), 3, QLatin1Char('0'));
                const QString store =
                    uOVUtils::LPad(text(QStringLiteral("LocationId02")), 3, QLatin1Char('0'));
                const QStringList traced = {
                    sbs,
                    store,
                    text(QStringLiteral("FirstName")),
                    text(QStringLiteral("LastName")),
                    text(QStringLiteral("Phone1")),
                    text(QStringLiteral("Phone2")),
                    email,
                    text(QStringLiteral("SalesPersonEmail")),
                    uOVUtils::FormatDateTime(
                        QStringLiteral("m/d/yyyy"),
                        AQuery.FieldByName(QStringLiteral("SalesDate")).AsDateTime()),
                    doNot(QStringLiteral("Allow_Call")),
                    doNot(QStringLiteral("Allow_Email"))};
                for (int i = 0; i < traced.size(); ++i)
                    AppLogger->logvalue(9, traceNames[i], traced[i], 20, LOG_INFO, AreaRead);
                // LocationId, First Name ... Phone2, Phone3 (empty), Email ...
                QStringList values = traced.mid(2);
                values.prepend(sbs + store);
                values.insert(5, QString());
                const QString line = BatchLine(values);
                WriteBatchLine(AStream, line);
                ++written;
                if (DebugMode)
                    uOVLogging::info(9, QStringLiteral("     output: ") + line, AreaRead);
                else if (written % 1000 == 0)
                    uOVLogging::info(1,
                                     QString::number(written) +
                                         QStringLiteral(" records written to the batch file..."),
                                     AreaRead);
            }
            AQuery.Next();
        }
        uOVLogging::info(5, QStringLiteral("Location scan completed."), AreaRead);
    } catch (const std::exception& E) {
        AppLogger->exc(E, AreaRead + QStringLiteral(" at row ") + QString::number(FCurrentRow) +
                              QStringLiteral(" while ") + FStep);
        uOVLogging::info(1,
                         QStringLiteral("     Processed: ") + QString::number(written) +
                             QStringLiteral("; Skipped: ") + QString::number(skipped),
                         AreaRead);
        throw;
    }
    AppLogger->logexit(9, AreaRead);
}
