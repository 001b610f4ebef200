#pragma once
// The utility's message boxes. None of them blocks: each opens window-modal
// over its parent and deletes itself when closed, so no handler waits in a
// nested event loop; connect to finished() to act after it.
#include <functional>
#include <QString>

class QMessageBox;
class QWidget;

namespace uMessages {

// The caption of every message box.
inline const QString ApplicationTitle = QStringLiteral("Brevolt Configurator for Retail Pro 9");

QMessageBox* ShowMessage(QWidget* AParent, const QString& AText);
// The standard error box with the error's own text.
QMessageBox* ShowError(QWidget* AParent, const QString& AText);
// A small information note without buttons, shown at once; the caller
// deletes it when the work it announces is done.
QMessageBox* ShowNote(QWidget* AParent, const QString& AText);
// An error box with "Retry" and "Close"; ARetry runs when the user retries.
QMessageBox* AskRetry(QWidget* AParent, const QString& AText, std::function<void()> ARetry);
// AText with "Save" and "Keep editing"; ASave runs when the user saves.
QMessageBox* AskToSaveAnyway(QWidget* AParent, const QString& AText, std::function<void()> ASave);
// "Discard your changes?" with "Discard" and "Keep editing"; AOnDiscard
// runs when the user discards.
QMessageBox* AskToDiscard(QWidget* AParent, std::function<void()> AOnDiscard);

} // namespace uMessages
