#include "configurator/uMessages.h"

#include <QMessageBox>

namespace uMessages {

namespace {
QMessageBox* Open(QWidget* AParent, QMessageBox::Icon AIcon, const QString& AText) {
    auto* box = new QMessageBox(AIcon, ApplicationTitle, AText, QMessageBox::Ok, AParent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return box;
}
} // namespace

QMessageBox* ShowMessage(QWidget* AParent, const QString& AText) {
    return Open(AParent, QMessageBox::Information, AText);
}

QMessageBox* ShowError(QWidget* AParent, const QString& AText) {
    return Open(AParent, QMessageBox::Critical, AText);
}

QMessageBox* ShowNote(QWidget* AParent, const QString& AText) {
    auto* note = new QMessageBox(QMessageBox::Information, ApplicationTitle, AText,
                                 QMessageBox::NoButton, AParent);
    note->setModal(false);
    note->show();
    note->repaint();
    return note;
}

} // namespace uMessages
