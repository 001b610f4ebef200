#pragma once
// The small window of the SMTP test that asks where the test mail goes.
// "Ok" checks the address and keeps the window open while it is not one;
// "Cancel" or Escape close it with the result Rejected.
#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace dBrevoltEmailTest {
// Whether AText passes as a mail address: an "@" that is not the first
// character, then a dot with at least one character between the two.
bool IsValidEmailAddress(const QString& AText);
} // namespace dBrevoltEmailTest

class TdlgEmailTestAddress : public QDialog {
    Q_OBJECT
public:
    explicit TdlgEmailTestAddress(QWidget* AParent = nullptr);

    // The address as accepted (trimmed).
    QString EmailAddress() const;

    // Ok: trims the field, then accepts or says why not.
    void AdvGlowButton1Click();

    QLabel* Label1;
    QLineEdit* edtEmailAddress;
    QPushButton* AdvGlowButton1; // Ok
    QPushButton* AdvGlowButton2; // Cancel
};
