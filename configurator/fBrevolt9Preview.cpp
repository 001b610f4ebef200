#include "configurator/fBrevolt9Preview.h"

#include "common/uBrevoltRPro9ConnectorSQLs.h"
#include "common/uOVLogging.h"
#include "configurator/fBrevolt9Config.h"
#include "configurator/uMessages.h"
#include "configurator/uScreenFit.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

namespace {
const QString AreaExecute = QStringLiteral("TfrmPreviewExecute");
}

TfrmPreview::TfrmPreview(QWidget* AParent) : QDialog(AParent) {
    resize(DesignSize);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 8);
    DBGrid1 = new QTableView(this);
    Model = new QStandardItemModel(this);
    DBGrid1->setModel(Model);
    DBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DBGrid1->setAccessibleName(QStringLiteral("Invoices"));
    DBGrid1->verticalHeader()->hide();
    layout->addWidget(DBGrid1);
    connect(&FWatcher, &QFutureWatcherBase::finished, this, &TfrmPreview::QueryFinished);
}

TfrmPreview::~TfrmPreview() {
    delete FNote;
}

void TfrmPreview::Execute(int ASbsNo, int AStoreNo) {
    uOVLogging::logenter(9, AreaExecute);
    FNote = uMessages::ShowNote(parentWidget(), QStringLiteral("Loading preview, please wait..."));
    const QString sbsNo = QString::number(ASbsNo);
    const QString storeNo = QString::number(AStoreNo);
    const TDateTime since = uOVUtils::Now() - 1;
    FWatcher.setFuture(uConfiguratorDatabase::Run(
        AreaExecute, [sbsNo, storeNo, since](TConnectorConnection* AConnection) {
            return uBrevoltRPro9ConnectorSQLs::OpenQuery(AConnection, sbsNo, storeNo, QString(),
                                                         since);
        }));
}

void TfrmPreview::QueryFinished() {
    delete FNote;

    const uConfiguratorDatabase::TQueryResult result = FWatcher.result();
    uOVLogging::logexit(9, AreaExecute);
    setWindowTitle(QStringLiteral("Invoices for ") +
                   uOVUtils::FormatDateTime(QStringLiteral("m/d/yyyy"), uOVUtils::Now() - 1));
    QMessageBox* box = nullptr;
    if (!result.Error.isEmpty())
        box = uMessages::ShowError(parentWidget(), fBrevolt9Config::PreviewFailedText +
                                                       QStringLiteral("\n\n") + result.Error);
    else if (!result.Dataset || result.Dataset->RecordCount() == 0)
        box = uMessages::ShowMessage(parentWidget(), QStringLiteral("No invoices found today"));
    if (box) {
        connect(box, &QDialog::finished, this, &TfrmPreview::Finished);
        return;
    }
    Bind(*result.Dataset);
    // As wide as its columns, as far as the screen allows.
    const QMargins margins = layout()->contentsMargins();
    const int width = DBGrid1->horizontalHeader()->length() + 2 * DBGrid1->frameWidth() +
                      DBGrid1->verticalScrollBar()->sizeHint().width() + margins.left() +
                      margins.right();
    uScreenFit::FitToScreen(this, QSize(std::max(width, DesignSize.width()), DesignSize.height()),
                            parentWidget() ? parentWidget()->geometry().center() : QPoint());
    open();
}

void TfrmPreview::Bind(TConnectorDataset& ADataset) {
    QStringList fields = ADataset.FieldNames();
    // The SID is the service's bookkeeping, nothing the administrator reads.
    fields.removeAll(uBrevoltRPro9ConnectorSQLs::InvoiceSIDColumn);
    Model->setColumnCount(static_cast<int>(fields.size()));
    Model->setHorizontalHeaderLabels(fields);
    for (ADataset.First(); !ADataset.Eof(); ADataset.Next()) {
        QList<QStandardItem*> items;
        for (const QString& name : fields)
            items.append(new QStandardItem(ADataset.FieldByName(name).AsString()));
        Model->appendRow(items);
    }
    DBGrid1->resizeColumnsToContents();
}

// The window sees Escape before its table, and only its release closes it,
// so that Shift+Escape does not.
void TfrmPreview::keyPressEvent(QKeyEvent* AEvent) {
    if (AEvent->key() == Qt::Key_Escape) {
        AEvent->accept();
        return;
    }
    QDialog::keyPressEvent(AEvent);
}

void TfrmPreview::keyReleaseEvent(QKeyEvent* AEvent) {
    if (AEvent->key() == Qt::Key_Escape &&
        !(AEvent->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier))) {
        close();
        return;
    }
    QDialog::keyReleaseEvent(AEvent);
}

void TfrmPreview::done(int AResult) {
    QDialog::done(AResult);
    Q_EMIT Finished();
}
