#pragma once
// The connector engine: one per service process. It owns the two timers, the
// FTP client and the state of a run; everything it does runs on the thread
// that created it (the service thread, or the window thread with "console").
#include "common/uOVUtils.h"
#include "platform/FileLock.h"
#include "service/uBrevoltRPro9ConnectorCursor.h"
#include "service/uBrevoltRPro9ConnectorLedger.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <QObject>
#include <QString>
#include <QTimer>

class QIODevice;
class TAnsiTextStream;
class TConnectorDataset;
class TOVFtpClient;

// Process-wide values of the service program.
extern bool ConsoleMode;
extern bool DebugMode;
extern bool DatabaseReady;
extern TDateTime ServiceStartTime;
extern bool DailyPingSent;

class TdlgConnectorLogic : public QObject {
    Q_OBJECT
public:
    // Creation runs FormCreate (and so InitService); ConsoleMode must be set
    // before.
    explicit TdlgConnectorLogic(QObject* AOwner = nullptr);
    ~TdlgConnectorLogic() override;

    // --- dBrevoltRPro9ConnectorLogic.cpp: lifecycle, scheduler, run frame ---
    void FormCreate();
    void InitService();
    void Enable();
    void Disable();
    void InitDatabase();

    // Scheduler.
    void SetTimerInterval();
    void ScheduleByInterval();
    void ScheduleBySlot();
    bool FindNextSlot(int q, int p, TDateTime r, TDateTime& target) const;
    void tmIdleTimer();

    // One run.
    void tmProcessTimer();

    // --- dBrevoltRPro9ConnectorScan.cpp: the scan and its cursor ---
    void ScanDatabase();
    // sentBefore: rows skipped because the ledger of sent invoices holds
    // them; repeated: rows of an invoice already written (a join that
    // returns an invoice twice), which the invoice's SID tells.
    void ReadDataset(TConnectorDataset& AQuery, TAnsiTextStream& AStream, int& written,
                     int& skipped, int& sentBefore, int& repeated);
    // --- dBrevoltRPro9ConnectorBatch.cpp: batch file, upload, archive ---
    // The batch file, owned by the caller; nothing (and APath empty) when
    // no name is left of AFilename. Raises EFCreateError.
    std::unique_ptr<TAnsiTextStream> OpenStream(const QString& AFilename, QString& APath);
    // Flushes (a short write is a WARNING), closes and empties AStream.
    void CloseStream(std::unique_ptr<TAnsiTextStream>& AStream);
    bool TransmitBatch(const QString& APath, TAnsiTextStream* AStream);
    // The upload itself, on the connected client: under a temporary name
    // renamed once complete (under AName at once on a server that refuses
    // renaming). Sets FMayHaveReached once a STOR went out. Raises.
    void UploadBatch(QIODevice& AStream, const QString& AName);
    void ArchiveBatch(const QString& APath);
    // Puts the closed batch file away: to the archive when it was sent or
    // holds no invoice (a sent one also supersedes the unsent batch);
    // otherwise to Batch/Unsent/, replacing the batch kept there, because
    // the next run's batch holds all its invoices again.
    void FileBatch(const QString& APath);
    // Moves APath into Batch/Unsent/ as the one batch kept there.
    void KeepAsUnsent(const QString& APath);
    void PurgeOldArchives(const QString& AArchiveDir);
    bool MoveBatchToArchive(const QString& APath, const QString& AArchiveDir);
    // Batches a crashed process left in Batch/ (but the one an upload's
    // record names): the newest is kept as the unsent batch, the others
    // removed (their invoices were not committed and go out again).
    void FileLeftoverBatches();

    // --- dBrevoltRPro9ConnectorLogic.cpp again ---

    // Starts both timers (service mode: Enable does it; the tray window after
    // its deferred start-up).
    void StartTimers();

    // Thread-safe: a stop or shutdown control arrived. Ends the waits of
    // Enable at once, so that the service stays stoppable; the control itself
    // is still handled by the service loop.
    void RequestStop();
    bool StopRequested() const { return FStopRequested.load(); }

    // "runonce": start one run as soon as enabled, then report its outcome
    // through RunOnceFinished.
    void SetRunOnce(bool AValue) { FRunOnce = AValue; }
    bool RunOnce() const { return FRunOnce; }
    bool LastRunSucceeded() const { return FLastRunSucceeded; }

    QTimer* tmProcess;
    QTimer* tmIdle;
    std::unique_ptr<TOVFtpClient> IdFTP1;

    QString FBatchPath;
    bool FProcessing = false;
    bool FClosing = false;
    bool FIdling = false;
    TDateTime FNextRun = 0;
    int FCurrentRow = 0;
    QString FTitle;
    std::unique_ptr<std::mutex> FTransmitCS;
    bool FEnabled = false;
    TDateTime FCurrentRunDatetime = 0;
    int FDelaySecs = 0;

Q_SIGNALS:
    void RunOnceFinished(bool ASucceeded);
    // A run found the database unreadable with "restartonmissingdata" on:
    // the service must end with a failure status, so that it is restarted.
    void RestartForMissingData();
    void TitleChanged(const QString& ATitle);

private:
    // --- dBrevoltRPro9ConnectorScan.cpp ---
    // One slot of the location list into the batch (part of ScanDatabase).
    // AScanned: the locations scanned so far in this run; one listed twice
    // is scanned once.
    void ScanLocation(int ASlot, TAnsiTextStream& AStream, QStringList& AScanned);

    // --- dBrevoltRPro9ConnectorLogic.cpp ---
    // Sleeps through the clock in short steps; false when a stop cut it short.
    bool Pause(int AMilliseconds);
    // Saves only AKey of the record over the file as it is now.
    void SaveConfigKey(const QString& AKey);
    // True when tmProcess fired before FNextRun; it is then re-armed for the
    // rest of the wait.
    bool ReArmIfEarly();
    // The lock of one run at a time in the service directory, across
    // processes; empty when another process kept it for longer than the
    // wait, with a WARNING that names the holder and ends with AInstead.
    std::unique_ptr<platform::TFileLock>
    LockRun(int AWaitMs, const QString& AInstead = QStringLiteral("skipping this run"));

    std::atomic<bool> FStopRequested{false};
    // The Oracle settle delay has been waited for or put into a schedule:
    // it belongs to the first run after start-up only.
    bool FOracleDelayConsumed = false;
    bool FRunOnce = false;
    bool FLastRunSucceeded = false;
    int FRunWritten = 0;
    bool FTransmitted = false;
    QString FStep;

    // --- dBrevoltRPro9ConnectorScan.cpp ---
    // The cursor of a run (part of ScanDatabase): the ledger loaded (a
    // damaged one put aside), the cursor worked out, its notes said.
    void OpenCursor();
    // Of a location item, the name its mark goes by: "001.005" for numbers
    // of up to three digits, otherwise the item as written.
    static QString LocationName(const QString& AItem);
    // The run's batch base name, ftpusername + "_" + the run's start; a
    // millisecond later where a batch of that name is still kept.
    QString UnusedBatchName() const;
    // Before an upload: what the ledger will be once the batch is sent, and
    // the batch's name, size and digest, in the upload's record. False, with
    // an ERROR and an error notice, when it cannot be written: then nothing
    // is uploaded.
    bool PrepareBatch(const QString& APath, TAnsiTextStream& AStream);
    // After a successful upload: the upload's record becomes the ledger and
    // "lastquery" follows. False, with an ERROR, when the ledger cannot be
    // saved; the record then stays, and the batch is sent again.
    bool CommitBatch(const uBrevoltRPro9ConnectorLedger::TSentLedger& ANext);
    // dBrevoltRPro9ConnectorBatch.cpp:
    // A batch that may have reached the server is sent again, under its own
    // name with its own bytes, before any new batch is made. True when none
    // waits (any longer).
    bool SendPendingBatch();

    // The run's cursor (uBrevoltRPro9ConnectorCursor), made by OpenCursor.
    std::unique_ptr<uBrevoltRPro9ConnectorLedger::TRunCursor> FCursor;
    // The upload's record of the batch in progress.
    uBrevoltRPro9ConnectorLedger::TSentLedger FNext;
    TDateTime FRunCursor = 0;
    // Read by InitDatabase's probe.
    TDateTime FDatabaseNow = 0;
    QString FCurrentLocation;
    // Invoice lines in the batch file, also those of a location that failed.
    int FBatchInvoices = 0;
    // The upload sent its STOR: the server may hold the batch.
    bool FMayHaveReached = false;
    // The batch stays in Batch/ to be sent again under its name.
    bool FKeepForRetry = false;
    // The server refused RNFR/RNTO once: uploads go under the batch's name.
    bool FRenameRefused = false;
};

// The one engine of the process; empty until created, emptied when freed.
extern TdlgConnectorLogic* dlgConnectorLogic;
