#include "configurator/dBrevoltEmailTest.h"

#include "configurator/uMessages.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace dBrevoltEmailTest {

bool IsValidEmailAddress(const QString& AText) {
    const qsizetype at = AText.indexOf(QLatin1Char('@'));
    if (at < 1)
        return false;
    // Counted from the "@": 1 would be a dot right after it.
    const qsizetype dot = AText.mid(at).indexOf(QLatin1Char('.'));
    return dot > 1;
}

} // namespace dBrevoltEmailTest

TdlgEmailTestAddress::TdlgEmailTestAddress(QWidget* AParent) : QDialog(AParent) {
    setWindowTitle(QStringLiteral("Email Test"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setFixedSize(331, 120);

    edtEmailAddress = new QLineEdit(this);
    edtEmailAddress->setGeometry(16, 40, 299, 24);
    Label1 = new QLabel(QStringLiteral("Email address:"), this);
    Label1->setGeometry(16, 16, 299, 18);
    Label1->setBuddy(edtEmailAddress);
    AdvGlowButton1 = new QPushButton(QStringLiteral("Ok"), this);
    AdvGlowButton1->setGeometry(144, 80, 80, 28);
    AdvGlowButton1->setDefault(true);
    AdvGlowButton2 = new QPushButton(QStringLiteral("Cancel"), this);
    AdvGlowButton2->setGeometry(235, 80, 80, 28);
    AdvGlowButton2->setAutoDefault(false);
    setTabOrder(edtEmailAddress, AdvGlowButton1);
    setTabOrder(AdvGlowButton1, AdvGlowButton2);
    edtEmailAddress->setFocus();

    connect(AdvGlowButton1, &QPushButton::clicked, this,
            &TdlgEmailTestAddress::AdvGlowButton1Click);
    connect(AdvGlowButton2, &QPushButton::clicked, this, &QDialog::reject);
}

QString TdlgEmailTestAddress::EmailAddress() const {
    return edtEmailAddress->text().trimmed();
}

void TdlgEmailTestAddress::AdvGlowButton1Click() {
    const QString address = edtEmailAddress->text().trimmed();
    edtEmailAddress->setText(address);
    if (!dBrevoltEmailTest::IsValidEmailAddress(address)) {
        uMessages::ShowMessage(this, QStringLiteral("Invalid email address"));
        return;
    }
    accept();
}
