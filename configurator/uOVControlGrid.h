#pragma once
// A scrolling list of row panels: rows are stacked top to bottom two pixels
// apart, sized alike, follow the list's width, and the row that holds the
// focus is highlighted.
#include <QFrame>
#include <QScrollArea>
#include <vector>

class TControlPanel : public QFrame {
    Q_OBJECT
public:
    explicit TControlPanel(QWidget* AParent = nullptr);
    // The list's client width changed.
    virtual void GridWasResized(int AGridClientWidth);
};

class TControlGrid : public QScrollArea {
    Q_OBJECT
public:
    static inline const QColor HighlightColor{0, 255, 255};

    explicit TControlGrid(QWidget* AParent = nullptr);
    ~TControlGrid() override;

    // Takes ownership of APanel, places, sizes and hooks it, and appends it.
    TControlPanel* AddPanel(TControlPanel* APanel);
    TControlPanel* GetPanel(int AIndex) const { return FPanels.at(AIndex); }
    int PanelCount() const { return static_cast<int>(FPanels.size()); }
    // Removes and frees every row, last first.
    void Clear();

    bool ResizePanels() const { return FResizePanels; }
    void SetResizePanels(bool AValue) { FResizePanels = AValue; }
    bool UniformPanelDimensions() const { return FUniformPanelDimensions; }
    void SetUniformPanelDimensions(bool AValue) { FUniformPanelDimensions = AValue; }
    TControlPanel* CurrentPanel() const { return FCurrentPanel; }
    int Selected() const { return FSelected; }

Q_SIGNALS:
    void CurrentPanelChanged(TControlPanel* APanel);

protected:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;
    void resizeEvent(QResizeEvent* AEvent) override;

private:
    void Highlight(TControlPanel* APanel);
    int ClientWidth() const;
    void UpdateContentHeight();

    QWidget* FContent;
    std::vector<TControlPanel*> FPanels;
    TControlPanel* FCurrentPanel = nullptr;
    bool FResizePanels = true;
    bool FUniformPanelDimensions = true;
    int FSelected = -1;
};
