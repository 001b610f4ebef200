#pragma once
// Windows at their design size where the screen allows it, otherwise as
// large as its free area, and never off its edges: a 1366 x 768 screen shows
// the tabs and the buttons too.
#include <QRect>
#include <QSize>

class QWidget;

namespace uScreenFit {

// Room left around a window for its frame and title bar.
inline constexpr QSize FrameAllowance{16, 48};

// Where a window goes in AArea (a screen's free area): the top left corner
// of its frame, and its client size, ADesign where it fits and otherwise the
// area less the frame; centred on ACentre (the area's centre when null) and
// moved inside the area.
QRect FittedGeometry(QSize ADesign, const QRect& AArea, QPoint ACentre = {});

// Sizes and places AWindow so on its screen, centred on ACentre when given;
// its minimum size shrinks to fit as well.
void FitToScreen(QWidget* AWindow, QSize ADesign, QPoint ACentre = {});

} // namespace uScreenFit
