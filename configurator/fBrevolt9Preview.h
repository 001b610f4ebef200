#pragma once
// The invoices that the service's invoice query returns for one location
// over the last 24 hours, in a read-only table. Nothing is written.
#include "configurator/uConfiguratorDatabase.h"

#include <QDialog>
#include <QFutureWatcher>
#include <QPointer>
#include <QSize>

class QMessageBox;
class QStandardItemModel;
class QTableView;

class TfrmPreview : public QDialog {
    Q_OBJECT
public:
    // Its height, and its narrowest width; it widens to its columns.
    static constexpr QSize DesignSize{327, 588};

    explicit TfrmPreview(QWidget* AParent = nullptr);
    ~TfrmPreview() override;

    // Loads the location's invoices off the window's thread behind a note,
    // then shows the window (window-modal) or says that nothing was found,
    // or shows the error. Finished() follows when that window or message
    // has been closed.
    void Execute(int ASbsNo, int AStoreNo);

    QTableView* DBGrid1;
    QStandardItemModel* Model;

Q_SIGNALS:
    void Finished();

protected:
    void keyPressEvent(QKeyEvent* AEvent) override;
    void keyReleaseEvent(QKeyEvent* AEvent) override; // FormKeyUp
    void done(int AResult) override;

private:
    void QueryFinished();
    void Bind(TConnectorDataset& ADataset);

    QPointer<QMessageBox> FNote;
    QFutureWatcher<uConfiguratorDatabase::TQueryResult> FWatcher;
};
