#include "configurator/uMessages.h"

#include <QMessageBox>
#include <QPushButton>

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

namespace {
// A box with a button that acts and one that only closes (also Escape).
QMessageBox* Ask(QWidget* AParent, QMessageBox::Icon AIcon, const QString& AText,
                 const QString& AAct, QMessageBox::ButtonRole AActRole, const QString& AClose,
                 std::function<void()> AOnAct) {
    auto* box = new QMessageBox(AIcon, ApplicationTitle, AText, QMessageBox::NoButton, AParent);
    QPushButton* act = box->addButton(AAct, AActRole);
    QPushButton* close = box->addButton(AClose, QMessageBox::RejectRole);
    box->setDefaultButton(AActRole == QMessageBox::DestructiveRole ? close : act);
    box->setEscapeButton(close);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box, [box, act, AOnAct] {
        if (box->clickedButton() == act)
            AOnAct();
    });
    box->open();
    return box;
}
} // namespace

QMessageBox* AskRetry(QWidget* AParent, const QString& AText, std::function<void()> ARetry) {
    return Ask(AParent, QMessageBox::Critical, AText, QStringLiteral("Retry"),
               QMessageBox::AcceptRole, QStringLiteral("Close"), std::move(ARetry));
}

QMessageBox* AskToSaveAnyway(QWidget* AParent, const QString& AText, std::function<void()> ASave) {
    return Ask(AParent, QMessageBox::Warning, AText, QStringLiteral("Save"),
               QMessageBox::AcceptRole, QStringLiteral("Keep editing"), std::move(ASave));
}

QMessageBox* AskToDiscard(QWidget* AParent, std::function<void()> AOnDiscard) {
    // Keeping the edits is what Enter and Escape do.
    return Ask(AParent, QMessageBox::Question, QStringLiteral("Discard your changes?"),
               QStringLiteral("Discard"), QMessageBox::DestructiveRole,
               QStringLiteral("Keep editing"), std::move(AOnDiscard));
}

} // namespace uMessages
