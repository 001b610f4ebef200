#include "configurator/uScreenFit.h"

#include <algorithm>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace uScreenFit {

QRect FittedGeometry(QSize ADesign, const QRect& AArea, QPoint ACentre) {
    const QSize size = ADesign.boundedTo((AArea.size() - FrameAllowance).expandedTo(QSize(1, 1)));
    // The window with its frame, centred and then moved inside the area.
    QRect framed(QPoint(0, 0), size + FrameAllowance);
    framed.moveCenter(ACentre.isNull() ? AArea.center() : ACentre);
    framed.moveLeft(std::clamp(framed.left(), AArea.left(),
                               std::max(AArea.left(), AArea.right() + 1 - framed.width())));
    framed.moveTop(std::clamp(framed.top(), AArea.top(),
                              std::max(AArea.top(), AArea.bottom() + 1 - framed.height())));
    // Where move() puts a window: the top left corner of its frame.
    return QRect(framed.topLeft(), size);
}

void FitToScreen(QWidget* AWindow, QSize ADesign, QPoint ACentre) {
    const QScreen* screen =
        AWindow->screen() ? AWindow->screen() : QGuiApplication::primaryScreen();
    if (!screen) {
        AWindow->resize(ADesign);
        return;
    }
    const QRect geometry = FittedGeometry(ADesign, screen->availableGeometry(), ACentre);
    AWindow->setMinimumSize(AWindow->minimumSize().boundedTo(geometry.size()));
    AWindow->resize(geometry.size());
    AWindow->move(geometry.topLeft());
}

} // namespace uScreenFit
