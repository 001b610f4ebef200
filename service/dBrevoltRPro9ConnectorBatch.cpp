// The batch file of a run: creating and closing it, uploading it by FTP and
// moving it into the archive.
#include "service/dBrevoltRPro9ConnectorBatch.h"

#include "common/uBrevoltRPro9ConnectorCommon.h"
#include "common/uBrevoltRPro9ConnectorNotify.h"
#include "common/uOVCodePage.h"
#include "common/uOVFtp.h"
#include "common/uOVLogging.h"
#include "common/uOVTextStream.h"
#include "common/uOVUtils.h"
#include "service/dBrevoltRPro9ConnectorLogic.h"
#include "service/uBrevoltRPro9ConnectorLedger.h"

#include <cmath>
#include <cstring>
#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace uBrevoltRPro9ConnectorCommon;
using uOVLogging::LOG_INFO;

namespace dBrevoltRPro9ConnectorBatch {

QString HeaderLine() {
    static const QString line = [] {
        QStringList names;
        for (const TBatchColumn& column : BatchColumns)
            names.append(QString::fromLatin1(column.Header));
        return BatchLine(names);
    }();
    return line;
}

QString BatchFileName(const QString& ABaseName) {
    static const QByteArray kept("!&()-[]_{}~");
    QString name;
    for (const char c : uOVCodePage::ToAnsi(ABaseName))
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
            kept.contains(c))
            name += QLatin1Char(c);
    return name.isEmpty() ? QString() : name + QStringLiteral(".csv");
}

namespace {

// Passes the characters of AValue quoted as a batch value to AEmit, at most
// 2 * AValue.size() + 2 of them; false as soon as AEmit refuses one.
template <typename F> bool Quote(QStringView AValue, F AEmit) {
    if (!AEmit(u'"'))
        return false;
    for (const QChar c : AValue) {
        const char16_t u = c.unicode();
        const bool done = u == u'"'    ? AEmit(u'"') && AEmit(u'"')
                          : u == u'\r' ? AEmit(u' ')
                          : u == u'\n' ? AEmit(u' ')
                                       : AEmit(u);
        if (!done)
            return false;
    }
    return AEmit(u'"');
}

} // namespace

QString QuoteValue(const QString& AValue) {
    QString value;
    AppendValue(value, AValue);
    return value;
}

void AppendValue(QString& ALine, QStringView AValue) {
    if (!ALine.isEmpty())
        ALine += QLatin1Char(',');
    const qsizetype start = ALine.size();
    ALine.resize(start + 2 * AValue.size() + 2);
    QChar* out = ALine.data() + start;
    Quote(AValue, [&out](char16_t AChar) {
        *out++ = QChar(AChar);
        return true;
    });
    ALine.resize(out - ALine.constData());
}

QString BatchLine(const QStringList& AValues) {
    QString line;
    for (const QString& value : AValues)
        AppendValue(line, value);
    return line;
}

char* TAnsiBatchLine::Room(qsizetype ABytes) {
    if (FSize + ABytes > qsizetype(FBytes.size()))
        FBytes.resize(size_t(2 * (FSize + ABytes)));
    return FBytes.data() + FSize;
}

void TAnsiBatchLine::Add(QStringView AValue) {
    const qsizetype start = FSize;
    char* out = Room(1 + 2 * AValue.size() + 2);
    if (start > 0)
        *out++ = ',';
    // A value with a character that is not its own byte takes the converter.
    const bool latin1 = Quote(AValue, [&out](char16_t AChar) {
        if (!uOVCodePage::SameInAnsi(AChar))
            return false;
        *out++ = char(AChar);
        return true;
    });
    if (latin1) {
        FSize = out - FBytes.data();
        return;
    }
    const QByteArray converted = uOVCodePage::ToAnsi(QuoteValue(AValue.toString()));
    out = Room(1 + converted.size());
    if (start > 0)
        *out++ = ',';
    std::memcpy(out, converted.constData(), size_t(converted.size()));
    FSize = out + converted.size() - FBytes.data();
}

QByteArrayView TAnsiBatchLine::Line() {
    char* out = Room(2);
    out[0] = '\r';
    out[1] = '\n';
    return QByteArrayView(FBytes.data(), FSize + 2);
}

const QString& TSalesDateText::Text(TDateTime AValue) {
    const double day = std::trunc(AValue);
    // A time that rounds up to midnight is formatted as the next day.
    const bool cacheable = std::llround(std::fabs(AValue - day) * 86400000.0) < 86400000;
    if (!cacheable || day != FDay) {
        FText = uOVUtils::FormatDateTimeFixed(QStringLiteral("m/d/yyyy"), AValue);
        FDay = cacheable ? day : std::numeric_limits<double>::quiet_NaN();
    }
    return FText;
}

void SetStep(QString& AStep, const QString& AText, const QString& AArea, int ALogLevel) {
    AStep = AText;
    if (ALogLevel >= 0 && AppLogger)
        AppLogger->log(ALogLevel, AText, LOG_INFO, AArea);
}

} // namespace dBrevoltRPro9ConnectorBatch

using namespace dBrevoltRPro9ConnectorBatch;

namespace {

const QString AreaTransmit = QStringLiteral("TdlgConnectorLogic.TransmitBatch");

// The batch folder, with its trailing separator.
QString BatchFolder(const QString& ABatchPath) {
    return uOVUtils::WithTrailingBackslash(
        ABatchPath.isEmpty() ? uOVUtils::JoinPath({uOVUtils::ExeDir(), QStringLiteral("Batch")})
                             : ABatchPath);
}

const QString UnsentFolderName = QStringLiteral("Unsent");

// Deletes the batches kept unsent in ABatchFolder but AKeep.
void RemoveUnsentBatches(const QString& ABatchFolder, const QString& AKeep) {
    QDir unsent(uOVUtils::JoinPath({ABatchFolder, UnsentFolderName}));
    for (const QString& name : unsent.entryList(QDir::Files | QDir::Hidden | QDir::System))
        if (name != AKeep)
            unsent.remove(name);
}

} // namespace

std::unique_ptr<TAnsiTextStream> TdlgConnectorLogic::OpenStream(const QString& AFilename,
                                                                QString& APath) {
    APath.clear();
    const QString name = BatchFileName(AFilename);
    if (name.isEmpty())
        return nullptr;
    const QString folder = BatchFolder(FBatchPath);
    APath = uOVUtils::JoinPath({folder, name});
    AppLogger->log(1, QStringLiteral("Creating output stream on \"") +
                          QDir::toNativeSeparators(APath) + QStringLiteral("\"..."));
    // Normally made by InitDatabase; a folder removed since is made again.
    uOVUtils::MakeOwnerGroupFolder(folder);
    // Read and write: the upload reads the file back. Buffered by QFile.
    // Owner and group only: the lines hold customer data; moves keep the mode.
    auto file = std::make_unique<QFile>(APath);
    if (!file->open(QIODevice::ReadWrite | QIODevice::Truncate,
                    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                        QFileDevice::WriteGroup) ||
        !uOVUtils::RestrictToOwnerAndGroup(APath))
        throw EFCreateError(QStringLiteral("Cannot create file \"") + APath +
                            QStringLiteral("\". ") + file->errorString());
    // The text stream owns the file from here.
    return std::make_unique<TAnsiTextStream>(file.release());
}

void TdlgConnectorLogic::CloseStream(std::unique_ptr<TAnsiTextStream>& AStream) {
    const std::unique_ptr<TAnsiTextStream> stream = std::move(AStream);
    if (!stream)
        return;
    // A file that cannot be completed must not pass for a whole one.
    if (auto* file = qobject_cast<QFileDevice*>(stream->Stream()); file && !file->flush())
        AppLogger->warn(
            0, QStringLiteral("Batch file could not be written completely: ") + file->errorString(),
            QStringLiteral("TdlgConnectorLogic.CloseStream"));
}

void TdlgConnectorLogic::UploadBatch(QIODevice& AStream, const QString& AName) {
    // Under a name no receiver takes up, renamed once complete, so that a
    // receiver never reads half a batch; a retry under the same names
    // replaces what an earlier attempt left.
    const QString temporary = AName + QStringLiteral(".part");
    const bool triedTemporary = !FRenameRefused;
    bool temporaryStored = false;
    auto put = [&](const QString& ARemote) {
        try {
            IdFTP1->Put(AStream, ARemote);
        } catch (...) {
            FMayHaveReached = FMayHaveReached || IdFTP1->StorSent();
            throw;
        }
        FMayHaveReached = true;
    };
    try {
        if (!FRenameRefused) {
            put(temporary);
            temporaryStored = true;
            SetStep(FStep, QStringLiteral("renaming the upload"), AreaTransmit, 9);
            try {
                IdFTP1->Rename(temporary, AName);
                return;
            } catch (const EOVFtpRefused& E) {
                FRenameRefused = true;
                AppLogger->warn(0,
                                QStringLiteral("The FTP server refused to rename an upload (") +
                                    ExceptionMessage(E) +
                                    QStringLiteral("); batch files go up under their own names "
                                                   "from now on, where a receiver may see one "
                                                   "before it is complete"),
                                AreaTransmit);
            }
            SetStep(FStep, QStringLiteral("rewinding stream"), AreaTransmit, 9);
            if (!AStream.seek(0))
                throw EInOutError(QStringLiteral("Batch file could not be rewound"));
        }
        SetStep(FStep, QStringLiteral("calling FTP Put"), AreaTransmit, 9);
        put(AName);
    } catch (...) {
        // Best effort: a partial upload must not stay behind on the server.
        if (triedTemporary && (temporaryStored || IdFTP1->StorSent())) {
            try {
                IdFTP1->Delete(temporary);
            } catch (...) {
            }
        }
        throw;
    }
    if (temporaryStored) {
        try {
            IdFTP1->Delete(temporary);
        } catch (...) {
        }
    }
}

bool TdlgConnectorLogic::TransmitBatch(const QString& APath, TAnsiTextStream* AStream) {
    AppLogger->logenter(9, AreaTransmit);
    bool result = false;
    try {
        if (!FTransmitCS)
            FTransmitCS = std::make_unique<std::mutex>();
        std::unique_lock lock(*FTransmitCS);
        try {
            if (SkipTransmit()) {
                AppLogger->log(
                    9, QStringLiteral("\"SkipTransmit\" turned on; skipping actual transmission"),
                    LOG_INFO, AreaTransmit);
                result = true;
            } else {
                SetStep(FStep, QStringLiteral("creating stream"), AreaTransmit, 9);
                QIODevice* stream = AStream ? AStream->Stream() : nullptr;
                if (!stream)
                    throw EInOutError(QStringLiteral("There is no batch file to transmit"));
                // Everything written so far goes out, or nothing does.
                if (auto* file = qobject_cast<QFileDevice*>(stream); file && !file->flush())
                    throw EInOutError(QStringLiteral("Batch file could not be written: ") +
                                      file->errorString());

                SetStep(FStep, QStringLiteral("connecting to FTP server"), AreaTransmit, 9);
                if (!IdFTP1)
                    IdFTP1 = std::make_unique<TOVFtpClient>();
                IdFTP1->Host = Config().ftpserver;
                IdFTP1->Username = Config().ftpusername;
                IdFTP1->Password = Config().ftppassword;
                IdFTP1->UseTLS = Config().ftpusetls;
                IdFTP1->Connect();
                if (IdFTP1->Connected()) {
                    SetStep(FStep, QStringLiteral("rewinding stream"), AreaTransmit, 9);
                    if (!stream->seek(0))
                        throw EInOutError(QStringLiteral("Batch file could not be rewound"));
                    SetStep(FStep, QStringLiteral("calling FTP Put"), AreaTransmit, 9);
                    UploadBatch(*stream, QFileInfo(APath).fileName());
                    result = true;
                } else {
                    AppLogger->err(QStringLiteral("Unable to connect -- check FTP credentials"),
                                   AreaTransmit);
                    ReportFailure(TFailureKind::Upload,
                                  QStringLiteral("Unable to connect -- check FTP credentials"));
                }
            }
        } catch (const std::exception& E) {
            AppLogger->exc(E, AreaTransmit);
            ReportFailure(TFailureKind::Upload, ExceptionMessage(E));
        }
        SetStep(FStep, QStringLiteral("disconnecting from FTP server"), AreaTransmit, 9);
        if (IdFTP1)
            IdFTP1->Disconnect();
    } catch (const std::exception& E) {
        AppLogger->exc(E, AreaTransmit + QStringLiteral(" while ") + FStep);
        throw;
    }
    AppLogger->logexit(9, AreaTransmit);
    return result;
}

void TdlgConnectorLogic::ArchiveBatch(const QString& APath) {
    try {
        const QString archive = uOVUtils::WithTrailingBackslash(
            uOVUtils::JoinPath({BatchFolder(FBatchPath), QStringLiteral("Archive")}));
        if (!QFileInfo::exists(archive))
            uOVUtils::MakeOwnerGroupFolder(archive);
        if (!QFileInfo(archive).isDir())
            return;
        PurgeOldArchives(archive);
        MoveBatchToArchive(APath, archive);
    } catch (...) {
        // Archiving is side work; the run goes on.
    }
}

void TdlgConnectorLogic::FileBatch(const QString& APath) {
    if (FKeepForRetry) {
        AppLogger->log(1,
                       QStringLiteral("Batch file \"") + APath +
                           QStringLiteral("\" may have reached the server; it stays to be sent "
                                          "again under its own name before a new batch is made"),
                       LOG_INFO, QStringLiteral("TdlgConnectorLogic.FileBatch"));
        return;
    }
    if (FBatchInvoices == 0 || FTransmitted) {
        ArchiveBatch(APath);
        if (FTransmitted)
            RemoveUnsentBatches(BatchFolder(FBatchPath), QString());
        return;
    }
    // Every failed run archiving a full copy made the archive grow with the
    // square of an outage's length; one unsent batch is enough to look at.
    try {
        const QString archive = uOVUtils::WithTrailingBackslash(
            uOVUtils::JoinPath({BatchFolder(FBatchPath), QStringLiteral("Archive")}));
        if (QFileInfo(archive).isDir())
            PurgeOldArchives(archive);
    } catch (...) {
        // Side work, as archiving is.
    }
    KeepAsUnsent(APath);
}

void TdlgConnectorLogic::KeepAsUnsent(const QString& APath) {
    if (APath.isEmpty())
        return;
    try {
        const QString folder = BatchFolder(FBatchPath);
        const QString unsent =
            uOVUtils::WithTrailingBackslash(uOVUtils::JoinPath({folder, UnsentFolderName}));
        uOVUtils::MakeOwnerGroupFolder(unsent);
        const QString name = QFileInfo(APath).fileName();
        const QString target = uOVUtils::JoinPath({unsent, name});
        QFile::remove(target);
        if (!QFile::rename(APath, target))
            return;
        RemoveUnsentBatches(folder, name);
        AppLogger->log(1,
                       QStringLiteral("Batch file not sent; kept as \"") + target +
                           QStringLiteral("\" until a later run sends its invoices"),
                       LOG_INFO, QStringLiteral("TdlgConnectorLogic.FileBatch"));
    } catch (...) {
        // Side work, as archiving is.
    }
}

namespace {

// Whether a batch file holds a line after its header.
bool HoldsInvoices(const QString& APath) {
    QFile file(APath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    file.readLine();
    return !file.readLine().trimmed().isEmpty();
}

} // namespace

void TdlgConnectorLogic::FileLeftoverBatches() {
    const QString area = QStringLiteral("TdlgConnectorLogic.FileLeftoverBatches");
    try {
        // No run is in progress yet: whatever is here was being written or
        // sent when an earlier process ended. Newest first.
        const QFileInfoList files =
            QDir(BatchFolder(FBatchPath))
                .entryInfoList({QStringLiteral("*.csv")}, QDir::Files | QDir::Hidden, QDir::Time);
        // The batch an upload's record names waits to be sent again.
        const QString pending = uBrevoltRPro9ConnectorLedger::TSentLedger::Load(
                                    uBrevoltRPro9ConnectorLedger::PendingFilePath())
                                    .BatchName;
        bool kept = false;
        for (const QFileInfo& file : files) {
            const QString path = file.absoluteFilePath();
            if (!pending.isEmpty() && file.fileName() == pending)
                continue;
            if (!kept && HoldsInvoices(path)) {
                kept = true;
                AppLogger->log(0,
                               QStringLiteral("Batch file \"") + path +
                                   QStringLiteral("\" was left behind by an earlier run; its "
                                                  "invoices go out with the next upload"),
                               uOVLogging::LOG_WARNING, area);
                KeepAsUnsent(path);
            } else if (QFile::remove(path)) {
                AppLogger->log(0,
                               QStringLiteral("Batch file \"") + path +
                                   QStringLiteral("\" left behind by an earlier run removed"),
                               uOVLogging::LOG_WARNING, area);
            }
        }
    } catch (...) {
        // Side work: the runs themselves do not depend on it.
    }
}

void TdlgConnectorLogic::PurgeOldArchives(const QString& AArchiveDir) {
    const TDateTime limit = uOVUtils::Now() - ArchiveDays;
    const QFileInfoList files =
        QDir(AArchiveDir).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo& file : files)
        if (limit > uOVUtils::ToDateTime(file.lastModified()))
            QFile::remove(file.absoluteFilePath());
}

bool TdlgConnectorLogic::SendPendingBatch() {
    using namespace uBrevoltRPro9ConnectorLedger;
    const QString area = QStringLiteral("TdlgConnectorLogic.SendPendingBatch");
    const QString recordPath = PendingFilePath();
    // Something else in its place is the upload's own problem (PrepareBatch
    // says so); no record was left there.
    if (!QFileInfo(recordPath).isFile())
        return true;
    const TSentLedger pending = TSentLedger::Load(recordPath);
    const QString folder = BatchFolder(FBatchPath);
    const QString batchPath = uOVUtils::JoinPath({folder, pending.BatchName});
    auto giveUp = [&](const QString& AWhy) {
        AppLogger->warn(0,
                        AWhy + QStringLiteral("; its invoices go out again in a new batch, so the "
                                              "server may receive them twice"),
                        area);
        QFile::remove(recordPath);
        return true;
    };
    if (pending.State != TLedgerState::Valid || pending.BatchName.isEmpty())
        return giveUp(
            QStringLiteral("The record of an upload \"") + recordPath + QStringLiteral("\" ") +
            (pending.Problem.isEmpty() ? QStringLiteral("names no batch") : pending.Problem));
    const TSentLedger ledger = TSentLedger::Load(LedgerFilePath());
    if (ledger.State == TLedgerState::Valid &&
        std::fabs(ledger.Cursor - pending.Cursor) < 1.0 / 86400) {
        // Its upload was committed before the process ended.
        QFile::remove(recordPath);
        if (QFileInfo::exists(batchPath))
            ArchiveBatch(batchPath);
        return true;
    }
    qint64 size = 0;
    QByteArray hash;
    if (!FileDigest(batchPath, size, hash) || size != pending.BatchSize ||
        hash != pending.BatchHash)
        return giveUp(QStringLiteral("The batch file \"") + batchPath +
                      QStringLiteral("\", which may have reached the server, is missing or was "
                                     "changed"));
    AppLogger->log(1,
                   QStringLiteral("Sending the batch file \"") + batchPath +
                       QStringLiteral("\" again under its own name: an earlier upload of it may "
                                      "have reached the server"),
                   LOG_INFO, area);
    auto file = std::make_unique<QFile>(batchPath);
    if (!file->open(QIODevice::ReadOnly))
        return false;
    auto stream = std::make_unique<TAnsiTextStream>(file.release());
    FMayHaveReached = true;
    const bool sent = TransmitBatch(batchPath, stream.get());
    CloseStream(stream);
    FKeepForRetry = false;
    if (!sent || !CommitBatch(pending)) {
        AppLogger->log(1,
                       QStringLiteral("The batch file waits to be sent again; no new batch is "
                                      "made until it is"),
                       LOG_INFO, area);
        return false;
    }
    SaveConfigKey(QStringLiteral("lastquery"));
    FTransmitted = true;
    ArchiveBatch(batchPath);
    RemoveUnsentBatches(folder, QString());
    return true;
}

bool TdlgConnectorLogic::MoveBatchToArchive(const QString& APath, const QString& AArchiveDir) {
    if (APath.isEmpty())
        return false;
    const QString target = uOVUtils::JoinPath({AArchiveDir, QFileInfo(APath).fileName()});
    // Never over an archived file of the same name.
    if (QFileInfo::exists(target))
        return false;
    return QFile::rename(APath, target);
}
