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
#include "service/uBrevoltRPro9ConnectorLedger.h"

#include <algorithm>
#include <array>
#include <cmath>

using namespace uBrevoltRPro9ConnectorCommon;
using namespace dBrevoltRPro9ConnectorBatch;
using uOVLogging::LOG_INFO;
using uOVLogging::LOG_WARNING;

namespace {

const QString AreaScan = QStringLiteral("TdlgConnectorLogic.ScanDatabase");
const QString AreaRead = QStringLiteral("TdlgConnectorLogic.ReadDataset");

// The values traced per written row: the columns from LocationId01 to
// SalesDate, then the two contact flags under their output names; each line
// as logvalue writes it, the name filled with dots to 20 characters.
constexpr int TraceCount = 11;
const std::array<QString, TraceCount>& TracePrefixes() {
    static const std::array<QString, TraceCount> prefixes = [] {
        const QString names[TraceCount] = {
            QStringLiteral("LocationId01"), QStringLiteral("LocationId02"),
            QStringLiteral("FirstName"),    QStringLiteral("LastName"),
            QStringLiteral("Phone1"),       QStringLiteral("Phone2"),
            QStringLiteral("Email"),        QStringLiteral("SalesPersonEmail"),
            QStringLiteral("SalesDate"),    QStringLiteral("Do_Not_Call"),
            QStringLiteral("Do_Not_Email")};
        std::array<QString, TraceCount> dotted;
        for (int i = 0; i < TraceCount; ++i)
            dotted[i] = names[i].leftJustified(20, QLatin1Char('.'));
        return dotted;
    }();
    return prefixes;
}

// Per-row lines are built only when the logger would write them.
bool Writes(const TOVLogger* ALogger, int ALevel) {
    return ALogger && ALevel <= ALogger->LogLevel();
}

// ALine with its CR LF.
void WriteBatchLine(TAnsiTextStream& AStream, QByteArrayView ALine) {
    if (AStream.Write(ALine.data(), ALine.size()) != ALine.size())
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
            FBatchInvoices = 0;
            FTransmitted = false;
            SetStep(FStep, QStringLiteral("opening cursor"), AreaScan, 9);
            OpenCursor();
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
                    WriteBatchLine(*stream,
                                   uOVCodePage::ToAnsi(HeaderLine() + QLatin1String("\r\n")));
                    for (int r = 0; r < config.locations.size(); ++r)
                        ScanLocation(r, *stream);
                    if (FRunWritten > 0) {
                        SetStep(FStep, QStringLiteral("calling TransmitBatch"), AreaScan);
                        uOVLogging::info(5, QStringLiteral("Starting transmission of batch file."),
                                         AreaScan);
                        FTransmitted = TransmitBatch(path, stream);
                        if (FTransmitted)
                            AdvanceCursor();
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
                FileBatch(path);
                throw;
            }
            CloseStream(stream);
            FileBatch(path);
            uOVLogging::info(9, QStringLiteral("Processing completed."), AreaScan);
        }
    } catch (const std::exception& E) {
        AppLogger->exc(E, AreaScan + QStringLiteral(" while ") + FStep);
        throw;
    }
    AppLogger->logexit(9, AreaScan);
}

void TdlgConnectorLogic::OpenCursor() {
    using namespace uBrevoltRPro9ConnectorLedger;
    TConnectorConfig& config = Config();
    FLedger = TSentLedger::Load(LedgerFilePath());
    FRunCursor = config.lastquery;
    // Whether the ledger knows what was sent up to the cursor; only then may
    // the run read again before it.
    bool ledgerHolds = false;
    if (!config.LastQueryFromFile) {
        // A default here would skip every invoice since the real cursor.
        const QString found =
            config.LastQueryText.isEmpty()
                ? QStringLiteral("\"lastquery\" is missing from the configuration")
                : QStringLiteral("\"lastquery\" in the configuration cannot be read (\"%1\")")
                      .arg(config.LastQueryText);
        if (FLedger.HasCursor()) {
            FRunCursor = FLedger.Cursor();
            ledgerHolds = true;
            AppLogger->warn(0,
                            found +
                                QStringLiteral("; using the cursor of the ledger of sent "
                                               "invoices instead: ") +
                                CursorText(FRunCursor) + QStringLiteral(" (UTC)"),
                            AreaScan);
        } else {
            AppLogger->warn(0,
                            found +
                                QStringLiteral(" and there is no ledger of sent invoices to "
                                               "take the cursor from; using ") +
                                CursorText(FRunCursor) + QStringLiteral(" (UTC)"),
                            AreaScan);
        }
    } else if (FLedger.HasCursor()) {
        // The ledger's cursor, or the one before it: the ledger is saved
        // first, so the configuration may lag one upload behind.
        const auto same = [](TDateTime A, TDateTime B) {
            return std::fabs(A - B) < 1.0 / 86400;
        };
        ledgerHolds = same(FRunCursor, FLedger.Cursor()) || same(FRunCursor, FLedger.Previous());
        if (ledgerHolds)
            FRunCursor = FLedger.Cursor();
        else
            uOVLogging::info(1,
                             QStringLiteral("\"lastquery\" ") + CursorText(FRunCursor) +
                                 QStringLiteral(" (UTC) is not the cursor of the ledger of sent "
                                                "invoices (") +
                                 CursorText(FLedger.Cursor()) +
                                 QStringLiteral(" UTC); reading the invoices created after it"),
                             AreaScan);
    }
    // Also what a failed upload saves.
    config.lastquery = FRunCursor;
    const TDateTime lookBack = config.lookbackminutes / 1440.0;
    // Without the ledger nothing before the cursor is read again, so that
    // nothing goes out twice; the window grows from there.
    FSince = FRunCursor <= 0 ? 0
             : ledgerHolds   ? std::max(FRunCursor - lookBack, FLedger.From())
                             : FRunCursor;
    FNewFrom = std::max(FSince, FCurrentRunDatetime - lookBack);
    uOVLogging::info(5,
                     QStringLiteral("Reading the invoices created after ") + TimeText(FSince) +
                         QStringLiteral(" (cursor ") + CursorText(FRunCursor) +
                         QStringLiteral(" UTC, look-back ") +
                         QString::number(config.lookbackminutes) + QStringLiteral(" minutes, ") +
                         QString::number(FLedger.Count()) +
                         QStringLiteral(" invoices sent within it)"),
                     AreaScan);
}

void TdlgConnectorLogic::AdvanceCursor() {
    using namespace uBrevoltRPro9ConnectorLedger;
    // The ledger first: should the configuration not be saved after it, its
    // "lastquery" is the ledger's previous cursor, which stands for this one.
    FLedger.Advance(FRunCursor, FCurrentRunDatetime, FNewFrom);
    try {
        FLedger.Save(LedgerFilePath());
    } catch (const std::exception& E) {
        // The next run then reads from "lastquery" on, as without a ledger.
        AppLogger->exc(E, AreaScan + QStringLiteral(" while saving the ledger of sent invoices"));
    }
    Config().lastquery = FCurrentRunDatetime;
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
    // Read once, in order: the rows wait in a file, not in memory.
    std::unique_ptr<TConnectorDataset> query =
        uBrevoltRPro9ConnectorSQLs::OpenQuery(uBrevoltRPro9ConnectorSQLs::Session(), sbsNo, storeNo,
                                              QString(), FSince, TRowStore::TemporaryFile);
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
            int sentBefore = 0;
            ReadDataset(*query, AStream, written, skipped, sentBefore);
            uOVLogging::info(1, QStringLiteral("Returning from read of location invoices"),
                             AreaScan);
            uOVLogging::info(1,
                             QStringLiteral("     Read........") +
                                 QString::number(written + skipped + sentBefore),
                             AreaScan);
            uOVLogging::info(1, QStringLiteral("     Written.....") + QString::number(written),
                             AreaScan);
            uOVLogging::info(1, QStringLiteral("     Skipped.....") + QString::number(skipped),
                             AreaScan);
            if (sentBefore > 0)
                uOVLogging::info(
                    1, QStringLiteral("     Sent before.") + QString::number(sentBefore), AreaScan);
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
                                     int& written, int& skipped, int& sentBefore) {
    AppLogger->logenter(9, AreaRead);
    written = 0;
    skipped = 0;
    sentBefore = 0;
    const int traceLevel = DebugMode ? 9 : -1;
    try {
        SetStep(FStep, QStringLiteral("getting record count"), AreaRead, traceLevel);
        FCurrentRow = 0;
        SetStep(FStep, QStringLiteral("starting loop"), AreaRead, 9);
        // Column positions, looked up once; a missing column fails here,
        // before the first row.
        enum {
            InvoiceNum,
            LocationId01,
            LocationId02,
            FirstName,
            LastName,
            Phone1,
            Phone2,
            Email,
            SalesPersonEmail,
            SalesDate,
            Allow_Call,
            Allow_Email,
            ColumnCount
        };
        static const QString names[ColumnCount] = {
            QStringLiteral("InvoiceNum"),       QStringLiteral("LocationId01"),
            QStringLiteral("LocationId02"),     QStringLiteral("FirstName"),
            QStringLiteral("LastName"),         QStringLiteral("Phone1"),
            QStringLiteral("Phone2"),           QStringLiteral("Email"),
            QStringLiteral("SalesPersonEmail"), QStringLiteral("SalesDate"),
            QStringLiteral("Allow_Call"),       QStringLiteral("Allow_Email")};
        int column[ColumnCount];
        for (int i = 0; i < ColumnCount; ++i)
            column[i] = AQuery.FieldIndex(names[i]);
        // Looked up at the first row, as a column the loop alone reads.
        int sidColumn = -1;
        auto field = [&AQuery, &column](int AColumn) {
            return AQuery.Field(column[AColumn]);
        };
        auto doNot = [&field](int AColumn) -> const QString& {
            static const QString no = QStringLiteral("No"), yes = QStringLiteral("Yes");
            return field(AColumn).AsInteger() == 1 ? no : yes;
        };
        TLocalTimeCache times;
        TSalesDateText salesDates;
        // A location's rows share their location: padded once.
        QVariant lastSbs, lastStore;
        QString sbs, store, location;
        TAnsiBatchLine bytes;
        QString trace;

        while (!AQuery.Eof()) {
            ++FCurrentRow;
            SetStep(FStep, QStringLiteral("updating progress"), AreaRead, traceLevel);
            // The texts are read in place: valid until the next row.
            const TConnectorField emailField = field(Email);
            const QStringView email = emailField.AsText();
            if (sidColumn < 0)
                sidColumn = AQuery.FieldIndex(uBrevoltRPro9ConnectorSQLs::InvoiceSIDColumn);
            const TConnectorField sidField = AQuery.Field(sidColumn);
            const QStringView sid = sidField.AsText();
            if (email.isEmpty()) {
                if (Writes(uOVLogging::DefaultLogger, 9))
                    uOVLogging::info(9,
                                     QStringLiteral("Invoice ") + field(InvoiceNum).AsString() +
                                         QStringLiteral(" skipped -- email address missing."),
                                     AreaRead);
                ++skipped;
            } else if (FLedger.Count() > 0 && FLedger.Contains(sid.toString())) {
                // Read again by the look-back window, but already sent.
                if (Writes(uOVLogging::DefaultLogger, 9))
                    uOVLogging::info(9,
                                     QStringLiteral("Invoice ") + field(InvoiceNum).AsString() +
                                         QStringLiteral(" skipped -- sent before."),
                                     AreaRead);
                ++sentBefore;
            } else {
                // Read once: the batch line and the ledger both need it.
                const TDateTime created = field(SalesDate).AsDateTime(times);
                const TConnectorField sbsField = field(LocationId01);
                const TConnectorField storeField = field(LocationId02);
                if (location.isNull() || sbsField.Value() != lastSbs ||
                    storeField.Value() != lastStore) {
                    lastSbs = sbsField.Value();
                    lastStore = storeField.Value();
                    sbs = uOVUtils::LPad(sbsField.AsString(), 3, QLatin1Char('0'));
                    store = uOVUtils::LPad(storeField.AsString(), 3, QLatin1Char('0'));
                    location = sbs + store;
                }
                const TConnectorField first = field(FirstName), last = field(LastName),
                                      phone1 = field(Phone1), phone2 = field(Phone2),
                                      salesPerson = field(SalesPersonEmail);
                // The receiving service reads one date form, whatever the
                // server's regional settings.
                const QStringView traced[TraceCount] = {sbs,
                                                        store,
                                                        first.AsText(),
                                                        last.AsText(),
                                                        phone1.AsText(),
                                                        phone2.AsText(),
                                                        email,
                                                        salesPerson.AsText(),
                                                        salesDates.Text(created),
                                                        doNot(Allow_Call),
                                                        doNot(Allow_Email)};
                if (Writes(AppLogger, 9))
                    for (int i = 0; i < TraceCount; ++i) {
                        // In one buffer that keeps its memory: at level 9
                        // these lines are most of a row's work.
                        trace.resize(0);
                        trace.append(TracePrefixes()[i]).append(traced[i]);
                        AppLogger->log(9, trace, LOG_INFO, AreaRead);
                    }
                // LocationId, First Name ... Phone2, Phone3 (empty), Email ...
                const QStringView values[] = {location,  traced[2],     traced[3], traced[4],
                                              traced[5], QStringView(), traced[6], traced[7],
                                              traced[8], traced[9],     traced[10]};
                bytes.Clear();
                for (const QStringView value : values)
                    bytes.Add(value);
                WriteBatchLine(AStream, bytes.Line());
                ++written;
                ++FBatchInvoices;
                // Only what later runs read again needs remembering; the
                // ledger is saved only when the upload succeeds.
                if (!sid.isEmpty() && created > FNewFrom)
                    FLedger.Add(sid.toString(), created);
                if (DebugMode) {
                    if (Writes(uOVLogging::DefaultLogger, 9)) {
                        QString line;
                        for (const QStringView value : values)
                            AppendValue(line, value);
                        uOVLogging::info(9, QStringLiteral("     output: ") + line, AreaRead);
                    }
                } else if (written % 1000 == 0) {
                    uOVLogging::info(1,
                                     QString::number(written) +
                                         QStringLiteral(" records written to the batch file..."),
                                     AreaRead);
                }
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
