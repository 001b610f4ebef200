// The scan of a run: every configured location's recent invoices into one
// batch file, which is then uploaded and archived.
#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorNotify.h"
#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVCodePage.h"
#include "common/uOVDataAccess.h"
#include "common/uOVLogging.h"
#include "common/uOVTextStream.h"
#include "common/uOVUtils.h"
#include "service/dBrevoltRPro9ConnectorBatch.h"
#include "service/dBrevoltRPro9ConnectorLogic.h"
#include "service/uBrevoltRPro9ConnectorCursor.h"
#include "service/uBrevoltRPro9ConnectorLedger.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace uBrevoltRPro9ConnectorCommon;
using namespace dBrevoltRPro9ConnectorBatch;
using uOVLogging::LOG_INFO;
using uOVLogging::LOG_WARNING;
using uOVUtils::WallClockText;

namespace {

const QString AreaScan = QStringLiteral("TdlgConnectorLogic.ScanDatabase");
const QString AreaRead = QStringLiteral("TdlgConnectorLogic.ReadDataset");

// The names of the values traced per written row, in the table's order (a
// location's two sources each under its own name); each as logvalue writes
// it, filled with dots to 20 characters.
const QStringList& TracePrefixes() {
    static const QStringList prefixes = [] {
        QStringList dotted;
        for (const TBatchColumn& column : BatchColumns)
            for (const char* name :
                 {column.Value == TBatchValue::Location ? column.Source : column.Trace,
                  column.Value == TBatchValue::Location ? column.Source2 : nullptr})
                if (name)
                    dotted.append(QString::fromLatin1(name).leftJustified(20, QLatin1Char('.')));
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
            FMayHaveReached = false;
            FKeepForRetry = false;
            SetStep(FStep, QStringLiteral("opening cursor"), AreaScan, 9);
            OpenCursor();
            SetStep(FStep, QStringLiteral("opening stream"), AreaScan, 9);
            QString path;
            std::unique_ptr<TAnsiTextStream> stream = OpenStream(UnusedBatchName(), path);
            {
                // However the scan ends: the file closed, then filed.
                struct TFileWhenDone {
                    TdlgConnectorLogic& Logic;
                    std::unique_ptr<TAnsiTextStream>& Stream;
                    const QString& Path;
                    ~TFileWhenDone() {
                        try {
                            Logic.CloseStream(Stream);
                            Logic.FileBatch(Path);
                        } catch (...) {
                            // Side work: the run's outcome stands.
                        }
                    }
                } fileWhenDone{*this, stream, path};
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
                    QStringList scanned;
                    for (int r = 0; r < config.locations.size(); ++r)
                        ScanLocation(r, *stream, scanned);
                    if (FRunWritten > 0) {
                        SetStep(FStep, QStringLiteral("calling TransmitBatch"), AreaScan);
                        uOVLogging::info(5, QStringLiteral("Starting transmission of batch file."),
                                         AreaScan);
                        if (PrepareBatch(path, *stream)) {
                            if (TransmitBatch(path, stream.get()))
                                FTransmitted = CommitBatch(FNext);
                            else if (FMayHaveReached)
                                FKeepForRetry = true;
                            else
                                QFile::remove(uBrevoltRPro9ConnectorLedger::PendingFilePath());
                        }
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
            }
            uOVLogging::info(9, QStringLiteral("Processing completed."), AreaScan);
        }
    } catch (const std::exception& E) {
        AppLogger->exc(E, AreaScan + QStringLiteral(" while ") + FStep);
        throw;
    }
    AppLogger->logexit(9, AreaScan);
}

QString TdlgConnectorLogic::UnusedBatchName() const {
    // The clock repeats itself (the hour when daylight saving ends, a zone
    // corrected westward, a clock set back): a batch under the name of one
    // sent before would replace it on the server. The next free millisecond
    // keeps the layout.
    const QString folder = uOVUtils::JoinPath({uOVUtils::ExeDir(), QStringLiteral("Batch")});
    const QStringList places = {folder, uOVUtils::JoinPath({folder, QStringLiteral("Archive")}),
                                uOVUtils::JoinPath({folder, QStringLiteral("Unsent")})};
    QString base;
    for (int ms = 0; ms < 1000; ++ms) {
        base = Config().ftpusername + QLatin1Char('_') +
               uOVUtils::FormatDateTime(QStringLiteral("yyyymmddhhnnsszzz"),
                                        FCurrentRunDatetime + ms / 86400000.0);
        const QString name = BatchFileName(base);
        if (name.isEmpty() || std::none_of(places.begin(), places.end(), [&](const QString& AAt) {
                return QFileInfo::exists(uOVUtils::JoinPath({AAt, name}));
            }))
            break;
    }
    return base;
}

QString TdlgConnectorLogic::LocationName(const QString& AItem) {
    const qsizetype dot = AItem.indexOf(QLatin1Char('.'));
    const QString sbs = dot < 0 ? QString() : AItem.left(dot).trimmed();
    const QString store = dot < 0 ? AItem.trimmed() : AItem.mid(dot + 1).trimmed();
    auto small = [](const QString& AText) {
        bool ok = false;
        const int n = AText.toInt(&ok);
        return ok && n >= 0 && n <= 999 && AText.size() <= 3;
    };
    if (small(sbs) && small(store))
        return LocationKey(sbs, store);
    return AItem.trimmed();
}

namespace {

// Whether a batch was ever filed: an installation that never sent one has
// no ledger yet, while one that lost it has.
bool HasArchivedBatches() {
    const QString archive = uOVUtils::JoinPath(
        {uOVUtils::ExeDir(), QStringLiteral("Batch"), QStringLiteral("Archive")});
    return !QDir(archive).entryList({QStringLiteral("*.csv")}, QDir::Files).isEmpty();
}

} // namespace

void TdlgConnectorLogic::OpenCursor() {
    using namespace uBrevoltRPro9ConnectorLedger;
    TConnectorConfig& config = Config();
    const QString ledgerPath = LedgerFilePath();
    TCursorStart start;
    start.Ledger = TSentLedger::Load(ledgerPath);
    start.LastQuery = config.lastquery;
    start.LastQueryFromFile = config.LastQueryFromFile;
    start.LastQueryText = config.LastQueryText;
    start.LookBackMinutes = config.lookbackminutes;
    start.DatabaseNow = FDatabaseNow;
    start.LedgerExpected = HasArchivedBatches();
    start.LedgerName = QDir::toNativeSeparators(ledgerPath);
    for (const QString& item : config.locations)
        if (!item.isEmpty() && !start.Locations.contains(LocationName(item)))
            start.Locations.append(LocationName(item));
    if (start.Ledger.State == TLedgerState::Damaged && QFileInfo(ledgerPath).isFile()) {
        // Kept for a look; the next upload writes a new one.
        const QString aside = ledgerPath + QStringLiteral(".damaged");
        QFile::remove(aside);
        QFile::rename(ledgerPath, aside);
    }
    FCursor = std::make_unique<TRunCursor>(std::move(start));
    for (const TCursorNote& note : FCursor->Notes()) {
        AppLogger->log(0, note.Text, note.Warning ? LOG_WARNING : LOG_INFO, AreaScan);
        if (!note.NoticeSubject.isEmpty())
            NotifyProblem(note.NoticeSubject, note.Text);
    }
    FRunCursor = FCursor->Cursor();
    // Also what a failed upload saves.
    config.lastquery = FRunCursor;
    uOVLogging::info(5,
                     QStringLiteral("Reading from the marks of the ledger of sent invoices "
                                    "(cursor ") +
                         CursorText(FRunCursor) + QStringLiteral(" UTC, database time ") +
                         WallClockText(FDatabaseNow) + QStringLiteral(", look-back ") +
                         QString::number(config.lookbackminutes) + QStringLiteral(" minutes, ") +
                         QString::number(FCursor->SentCount()) +
                         QStringLiteral(" invoices sent within it)"),
                     AreaScan);
}

bool TdlgConnectorLogic::PrepareBatch(const QString& APath, TAnsiTextStream& AStream) {
    using namespace uBrevoltRPro9ConnectorLedger;
    FNext = FCursor->Next(FCurrentRunDatetime);
    FNext.BatchName = QFileInfo(APath).fileName();
    try {
        // The record names the bytes as they will go out.
        auto* file = qobject_cast<QFileDevice*>(AStream.Stream());
        if (file && !file->flush())
            throw EInOutError(QStringLiteral("Batch file could not be written: ") +
                              file->errorString());
        if (!FileDigest(APath, FNext.BatchSize, FNext.BatchHash))
            throw EInOutError(QStringLiteral("Batch file \"") + APath +
                              QStringLiteral("\" cannot be read back"));
        FNext.Save(PendingFilePath());
        return true;
    } catch (const std::exception& E) {
        const QString text =
            QStringLiteral("The batch file is not uploaded, because what it holds cannot be "
                           "recorded first: ") +
            ExceptionMessage(E);
        AppLogger->err(text, AreaScan);
        ReportFailure(TFailureKind::Upload, text);
        QFile::remove(PendingFilePath());
        return false;
    }
}

bool TdlgConnectorLogic::CommitBatch(const uBrevoltRPro9ConnectorLedger::TSentLedger& ANext) {
    using namespace uBrevoltRPro9ConnectorLedger;
    TSentLedger ledger = ANext;
    ledger.BatchName.clear();
    try {
        ledger.Save(LedgerFilePath());
    } catch (const std::exception& E) {
        const QString text = QStringLiteral("The batch file ") + ANext.BatchName +
                             QStringLiteral(" was sent, but the ledger of sent invoices cannot "
                                            "be saved (") +
                             ExceptionMessage(E) +
                             QStringLiteral("); it is sent again under its own name until it "
                                            "can, and no new batch is made meanwhile");
        AppLogger->err(text, AreaScan);
        ReportFailure(TFailureKind::Upload, text);
        FKeepForRetry = true;
        return false;
    }
    QFile::remove(PendingFilePath());
    // Unless changed by hand meanwhile ("lastquery" then says so next run).
    TConnectorConfig& config = Config();
    if (!config.LastQueryFromFile || std::fabs(config.lastquery - ANext.Previous) < 1.0 / 86400)
        config.lastquery = ANext.Cursor;
    ReportSuccess(TFailureKind::Upload);
    return true;
}

void TdlgConnectorLogic::ScanLocation(int ASlot, TAnsiTextStream& AStream, QStringList& AScanned) {
    TConnectorConfig& config = Config();
    SetStep(FStep, QStringLiteral("pulling location code"), AreaScan);
    const QString item = config.locations.at(ASlot);
    if (item.isEmpty()) {
        uOVLogging::info(
            9, QStringLiteral("Skipping blank location for slot #") + QString::number(ASlot),
            AreaScan);
        return;
    }
    FCurrentLocation = LocationName(item);
    if (AScanned.contains(FCurrentLocation)) {
        uOVLogging::info(1,
                         QStringLiteral("Skipping location ") + item +
                             QStringLiteral(" for slot #") + QString::number(ASlot) +
                             QStringLiteral(": it is listed before"),
                         AreaScan);
        return;
    }
    AScanned.append(FCurrentLocation);
    SetStep(FStep, QStringLiteral("pulling sbsno"), AreaScan);
    SetStep(FStep, QStringLiteral("parsing sbsno"), AreaScan);
    uOVLogging::info(9, QStringLiteral("     parsing [") + item + QLatin1Char(']'), AreaScan);
    const qsizetype dot = item.indexOf(QLatin1Char('.'));
    const QString sbsNo = dot < 0 ? QString() : item.left(dot);
    const QString storeNo = dot < 0 ? item : item.mid(dot + 1);
    uOVLogging::info(5, QStringLiteral("     Subsidiary..[") + sbsNo + QLatin1Char(']'), AreaScan);
    uOVLogging::info(5, QStringLiteral("     Store.......[") + storeNo + QLatin1Char(']'),
                     AreaScan);
    uOVLogging::info(5,
                     QStringLiteral("     Since.......[") +
                         WallClockText(FCursor->Since(FCurrentLocation)) +
                         QStringLiteral("] (mark ") +
                         WallClockText(FCursor->Mark(FCurrentLocation)) + QLatin1Char(')'),
                     AreaScan);
    uOVLogging::info(9, QStringLiteral("     Opening query..."), AreaScan);
    FTitle =
        QStringLiteral("Processing Subsidiary ") + sbsNo + QStringLiteral(", Store ") + storeNo;
    Q_EMIT TitleChanged(FTitle);

    SetStep(FStep, QStringLiteral("calling OpenQuery"), AreaScan);
    // Read once, in order: the rows wait in a file, not in memory.
    std::unique_ptr<TConnectorDataset> query = uBrevoltRPro9ConnectorSQLs::OpenQuery(
        uBrevoltRPro9ConnectorSQLs::Session(), sbsNo, storeNo, QString(),
        FCursor->Since(FCurrentLocation), TRowStore::TemporaryFile);
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
            int repeated = 0;
            ReadDataset(*query, AStream, written, skipped, sentBefore, repeated);
            uOVLogging::info(1, QStringLiteral("Returning from read of location invoices"),
                             AreaScan);
            uOVLogging::info(1,
                             QStringLiteral("     Read........") +
                                 QString::number(written + skipped + sentBefore + repeated),
                             AreaScan);
            uOVLogging::info(1, QStringLiteral("     Written.....") + QString::number(written),
                             AreaScan);
            uOVLogging::info(1, QStringLiteral("     Skipped.....") + QString::number(skipped),
                             AreaScan);
            if (sentBefore > 0)
                uOVLogging::info(
                    1, QStringLiteral("     Sent before.") + QString::number(sentBefore), AreaScan);
            if (repeated > 0)
                uOVLogging::info(1,
                                 QStringLiteral("     Repeated....") + QString::number(repeated) +
                                     QStringLiteral(" (rows of invoices already written)"),
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
                                     int& written, int& skipped, int& sentBefore, int& repeated) {
    AppLogger->logenter(9, AreaRead);
    written = 0;
    skipped = 0;
    sentBefore = 0;
    repeated = 0;
    // The invoices written for this location: a join that returns one twice
    // must not put it into the batch twice.
    uBrevoltRPro9ConnectorLedger::TSidSet inBatch;
    const int traceLevel = DebugMode ? 9 : -1;
    try {
        SetStep(FStep, QStringLiteral("getting record count"), AreaRead, traceLevel);
        FCurrentRow = 0;
        SetStep(FStep, QStringLiteral("starting loop"), AreaRead, 9);
        // Column positions, looked up once; a missing column fails here,
        // before the first row.
        struct TSources {
            int First = -1;
            int Second = -1;
        };
        std::array<TSources, BatchColumnCount> sources;
        for (int i = 0; i < BatchColumnCount; ++i) {
            if (BatchColumns[i].Source)
                sources[i].First = AQuery.FieldIndex(QLatin1String(BatchColumns[i].Source));
            if (BatchColumns[i].Source2)
                sources[i].Second = AQuery.FieldIndex(QLatin1String(BatchColumns[i].Source2));
        }
        // What the loop itself needs besides the line.
        const int invoiceNumColumn = AQuery.FieldIndex(QStringLiteral("InvoiceNum"));
        const int emailColumn = AQuery.FieldIndex(QStringLiteral("Email"));
        const int salesDateColumn = AQuery.FieldIndex(QStringLiteral("SalesDate"));
        // Looked up at the first row, as a column the loop alone reads.
        int sidColumn = -1;
        auto invoiceNum = [&AQuery, invoiceNumColumn] {
            return AQuery.Field(invoiceNumColumn).AsString();
        };
        static const QString no = QStringLiteral("No"), yes = QStringLiteral("Yes");
        TSalesDateText salesDates;
        // A location's rows share their location: padded once.
        QVariant lastSbs, lastStore;
        QString sbs, store, location;
        TAnsiBatchLine bytes;
        QString trace;
        // The values of a row and what they are read from (a text is read in
        // place: valid while its field and its row are).
        std::vector<TConnectorField> fields;
        fields.reserve(2 * BatchColumnCount);
        std::array<QStringView, BatchColumnCount> values;
        std::vector<QStringView> traced;
        traced.reserve(size_t(TracePrefixes().size()));

        while (!AQuery.Eof()) {
            ++FCurrentRow;
            SetStep(FStep, QStringLiteral("updating progress"), AreaRead, traceLevel);
            // The texts are read in place: valid until the next row.
            const TConnectorField emailField = AQuery.Field(emailColumn);
            const QStringView email = emailField.AsText();
            if (sidColumn < 0)
                sidColumn = AQuery.FieldIndex(uBrevoltRPro9ConnectorSQLs::InvoiceSIDColumn);
            const TConnectorField sidField = AQuery.Field(sidColumn);
            const QStringView sid = sidField.AsText();
            // Every row shows the location's clock, also one not written.
            const TDateTime created = AQuery.Field(salesDateColumn).AsWallClock();
            FCursor->Read(FCurrentLocation, created);
            // A row not written: counted, and at level 9 said why.
            auto skip = [&](int& ACounter, const QString& AWhy) {
                if (Writes(uOVLogging::DefaultLogger(), 9))
                    uOVLogging::info(9,
                                     QStringLiteral("Invoice ") + invoiceNum() +
                                         QStringLiteral(" skipped -- ") + AWhy,
                                     AreaRead);
                ++ACounter;
            };
            if (email.isEmpty()) {
                skip(skipped, QStringLiteral("email address missing."));
            } else if (!sid.isEmpty() && !inBatch.Insert(sid)) {
                skip(repeated, QStringLiteral("returned again."));
            } else if (FCursor->SentBefore(sid)) {
                // Read again by the look-back window, but already sent.
                skip(sentBefore, QStringLiteral("sent before."));
            } else {
                fields.clear();
                traced.clear();
                for (int i = 0; i < BatchColumnCount; ++i) {
                    const TBatchColumn& column = BatchColumns[i];
                    switch (column.Value) {
                    case TBatchValue::Location: {
                        const TConnectorField& sbsField =
                            fields.emplace_back(AQuery.Field(sources[i].First));
                        const TConnectorField& storeField =
                            fields.emplace_back(AQuery.Field(sources[i].Second));
                        if (location.isNull() || sbsField.Value() != lastSbs ||
                            storeField.Value() != lastStore) {
                            lastSbs = sbsField.Value();
                            lastStore = storeField.Value();
                            sbs = uOVUtils::LPad(sbsField.AsString(), 3, QLatin1Char('0'));
                            store = uOVUtils::LPad(storeField.AsString(), 3, QLatin1Char('0'));
                            location = sbs + store;
                        }
                        values[i] = location;
                        traced.push_back(sbs);
                        traced.push_back(store);
                        continue;
                    }
                    case TBatchValue::Text:
                        values[i] =
                            sources[i].First == emailColumn
                                ? email
                                : fields.emplace_back(AQuery.Field(sources[i].First)).AsText();
                        break;
                    case TBatchValue::Empty:
                        values[i] = QStringView();
                        break;
                    case TBatchValue::Date:
                        // The receiving service reads one date form, whatever
                        // the server's regional settings.
                        values[i] =
                            salesDates.Text(sources[i].First == salesDateColumn
                                                ? created
                                                : AQuery.Field(sources[i].First).AsWallClock());
                        break;
                    case TBatchValue::DoNot:
                        values[i] = AQuery.Field(sources[i].First).AsInteger() == 1 ? no : yes;
                        break;
                    }
                    if (column.Trace)
                        traced.push_back(values[i]);
                }
                if (Writes(AppLogger, 9))
                    for (size_t i = 0; i < traced.size(); ++i) {
                        // In one buffer that keeps its memory: at level 9
                        // these lines are most of a row's work.
                        trace.resize(0);
                        trace.append(TracePrefixes()[qsizetype(i)]).append(traced[i]);
                        AppLogger->log(9, trace, LOG_INFO, AreaRead);
                    }
                bytes.Clear();
                for (const QStringView value : values)
                    bytes.Add(value);
                WriteBatchLine(AStream, bytes.Line());
                ++written;
                ++FBatchInvoices;
                // Only what later runs read again needs remembering; the
                // ledger is saved only when the upload succeeds.
                FCursor->Written(FCurrentLocation, sid, created);
                if (DebugMode) {
                    if (Writes(uOVLogging::DefaultLogger(), 9)) {
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
