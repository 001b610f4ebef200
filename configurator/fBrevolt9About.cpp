#include "configurator/fBrevolt9About.h"

#include "common/uOVUtils.h"
#include "platform/Process.h"

#include <QDesktopServices>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QScreen>
#include <QUrl>

namespace fBrevolt9About {

namespace {
double RingPen(int ASide) {
    return std::max(2.0, ASide * 0.05);
}
} // namespace

QRectF LogoRing(const QSize& ASize) {
    // A bolt across a ring: the mark of the marketing service, in the
    // rightmost square of a wide picture so that texts can stand beside it.
    const int side = std::min(ASize.width(), ASize.height());
    const QRectF ring(ASize.width() - side * 0.8, ASize.height() / 2.0 - side * 0.3, side * 0.6,
                      side * 0.6);
    const double half = RingPen(side) / 2;
    return ring.adjusted(-half, -half, half, half);
}

QPixmap BrevoltLogo(const QSize& ASize) {
    QPixmap pixmap(ASize);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, ASize.height());
    sky.setColorAt(0, QColor(0x1d, 0x4e, 0x89));
    sky.setColorAt(1, QColor(0x0b, 0x25, 0x45));
    p.fillRect(pixmap.rect(), sky);
    const int side = std::min(ASize.width(), ASize.height());
    const double pen = RingPen(side);
    const QRectF ring = LogoRing(ASize).adjusted(pen / 2, pen / 2, -pen / 2, -pen / 2);
    p.setPen(QPen(QColor(0xff, 0xc4, 0x2e), pen));
    p.drawEllipse(ring);
    const QPointF c = ring.center();
    const double u = side * 0.06;
    const QPolygonF bolt{{c.x() + u, c.y() - 4 * u},       {c.x() - 2 * u, c.y() + 0.5 * u},
                         {c.x(), c.y() + 0.5 * u},         {c.x() - u, c.y() + 4 * u},
                         {c.x() + 2 * u, c.y() - 0.5 * u}, {c.x(), c.y() - 0.5 * u}};
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xff, 0xc4, 0x2e));
    p.drawPolygon(bolt);
    return pixmap;
}

QString ProgramVersion() {
    try {
        return uOVUtils::GetFileVersionText(QString::fromStdString(platform::ExecutablePath()));
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace fBrevolt9About

using namespace fBrevolt9About;

TfrmBrevoltAbout::TfrmBrevoltAbout(QWidget* AParent, const QString& AVersion)
    : QDialog(AParent, Qt::Dialog | Qt::FramelessWindowHint) {
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(600, 300);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    Image1 = new QLabel(this);
    Image1->setGeometry(rect());
    Image1->setPixmap(BrevoltLogo(size()));
    const QString light = QStringLiteral("color: white;");
    // The texts stand left of the ring, with a margin as wide as the left one.
    const int left = 24;
    const int width = static_cast<int>(LogoRing(size()).left()) - 2 * left;
    auto text = [&](const QString& ACaption, int ATop, int AHeight, int APixels) {
        auto* label = new QLabel(ACaption, this);
        label->setGeometry(left, ATop, width, AHeight);
        label->setStyleSheet(light + QStringLiteral("font-size: %1px;").arg(APixels));
        label->setCursor(Qt::PointingHandCursor);
        label->installEventFilter(this);
        return label;
    };
    lblAbout = text(QStringLiteral("Brevolt Connector for Retail Pro 9\nSends the recent sales of "
                                   "Retail Pro 9 to the Brevolt marketing service.\n"
                                   "OrvaneSoftware"),
                    24, 150, 14);
    lblAbout->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblAbout->setWordWrap(true);
    QString version, release;
    const bool hasRelease = uOVUtils::SplitFileVersion(AVersion, version, release);
    lblVersion = text(QStringLiteral("Version: ") + version, 200, 20, 15);
    lblRelease = text(QStringLiteral("Release: ") + release, 222, 20, 13);
    lblRelease->setVisible(hasRelease);
    lblURL = text(MakerAddress, 262, 20, 13);
}

void TfrmBrevoltAbout::keyPressEvent(QKeyEvent* AEvent) {
    AEvent->accept();
    close();
}

bool TfrmBrevoltAbout::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AEvent->type() == QEvent::MouseButtonRelease && AWatched != Image1)
        QDesktopServices::openUrl(QUrl(MakerAddress));
    return QDialog::eventFilter(AWatched, AEvent);
}
