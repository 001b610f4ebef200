#pragma once
// The about box: a borderless picture with the program's version and the
// maker's address. Any key closes it; a click on a text opens the maker's
// web site.
#include <QDialog>
#include <QPixmap>

class QLabel;

namespace fBrevolt9About {
inline const QString MakerAddress = QStringLiteral("https://www.orvanesoftware.invalid/");
// The logo picture, drawn at any size (the window's logo and the box's
// background).
QPixmap BrevoltLogo(const QSize& ASize);
// Where the logo draws its ring (line width included), so that texts can
// keep clear of it.
QRectF LogoRing(const QSize& ASize);
// The four-part version of the running program, empty when it carries none.
QString ProgramVersion();
} // namespace fBrevolt9About

class TfrmBrevoltAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfrmBrevoltAbout(QWidget* AParent = nullptr,
                              const QString& AVersion = fBrevolt9About::ProgramVersion());

    QLabel* Image1;
    QLabel* lblVersion;
    QLabel* lblRelease;
    QLabel* lblURL;
    QLabel* lblAbout;

protected:
    void keyPressEvent(QKeyEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;
};
