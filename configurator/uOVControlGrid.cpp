#include "configurator/uOVControlGrid.h"

#include <algorithm>
#include <QEvent>
#include <QResizeEvent>
#include <QScrollBar>

TControlPanel::TControlPanel(QWidget* AParent) : QFrame(AParent) {
    setAutoFillBackground(true);
}

void TControlPanel::GridWasResized(int AGridClientWidth) {
    resize(AGridClientWidth, height());
}

TControlGrid::TControlGrid(QWidget* AParent) : QScrollArea(AParent), FContent(new QWidget) {
    setWidget(FContent);
    setWidgetResizable(false);
    // The rows' fields take the focus; the list itself is no stop.
    setFocusPolicy(Qt::NoFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    FContent->resize(ClientWidth(), 0);
}

TControlGrid::~TControlGrid() {
    Clear();
}

int TControlGrid::ClientWidth() const {
    return viewport()->width();
}

TControlPanel* TControlGrid::AddPanel(TControlPanel* APanel) {
    APanel->setParent(FContent);
    const TControlPanel* last = FPanels.empty() ? nullptr : FPanels.back();
    const int top = last ? last->y() + last->height() + 2 : 1;
    if (FResizePanels) {
        if (!FPanels.empty() && FUniformPanelDimensions) {
            APanel->resize(FPanels.front()->size());
        } else {
            int height = 0;
            for (const QWidget* child : APanel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                height = std::max(height, child->y() + child->height() + 1);
            APanel->resize(ClientWidth(), height + 2);
        }
    }
    APanel->move(0, top);
    // Focus entering the row or any of its controls highlights the row.
    APanel->installEventFilter(this);
    for (QWidget* child : APanel->findChildren<QWidget*>())
        if (child->focusPolicy() != Qt::NoFocus)
            child->installEventFilter(this);
    APanel->setProperty("tag", static_cast<int>(FPanels.size()));
    FPanels.push_back(APanel);
    APanel->show();
    UpdateContentHeight();
    return APanel;
}

void TControlGrid::Clear() {
    FCurrentPanel = nullptr;
    FSelected = -1;
    while (!FPanels.empty()) {
        delete FPanels.back();
        FPanels.pop_back();
    }
    UpdateContentHeight();
}

void TControlGrid::UpdateContentHeight() {
    const int bottom = FPanels.empty() ? 0 : FPanels.back()->y() + FPanels.back()->height() + 1;
    FContent->resize(ClientWidth(), bottom);
}

bool TControlGrid::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AEvent->type() == QEvent::FocusIn) {
        for (QObject* o = AWatched; o; o = o->parent()) {
            if (auto* panel = qobject_cast<TControlPanel*>(o);
                panel && panel->parent() == FContent) {
                Highlight(panel);
                ensureWidgetVisible(panel, 0, 0);
                break;
            }
        }
    }
    return QScrollArea::eventFilter(AWatched, AEvent);
}

void TControlGrid::Highlight(TControlPanel* APanel) {
    if (APanel == FCurrentPanel)
        return;
    if (FCurrentPanel)
        FCurrentPanel->setPalette(palette());
    FCurrentPanel = APanel;
    const auto it = std::find(FPanels.begin(), FPanels.end(), APanel);
    FSelected = it == FPanels.end() ? -1 : static_cast<int>(it - FPanels.begin());
    if (APanel) {
        QPalette highlighted = APanel->palette();
        highlighted.setColor(QPalette::Window, HighlightColor);
        APanel->setPalette(highlighted);
    }
    Q_EMIT CurrentPanelChanged(APanel);
}

void TControlGrid::resizeEvent(QResizeEvent* AEvent) {
    QScrollArea::resizeEvent(AEvent);
    if (!FResizePanels)
        return;
    for (TControlPanel* panel : FPanels)
        panel->GridWasResized(ClientWidth());
    UpdateContentHeight();
}
