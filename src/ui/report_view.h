#pragma once

#include <QElapsedTimer>
#include <QTreeView>

// One of the two report lists: URL, status, found position, response time. A right click on a row
// opens its URL in the browser, a double click copies it, Ctrl+C copies the selected rows' URLs.
// Width beyond the designed one goes to the URL column; narrowing the list gives it back.
//
// The run makes its current row visible many times a second; that must not take the list away from a user
// who is browsing it. UserBusy() says when to leave the list alone.
class ReportView final : public QTreeView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReportView)

public:
    static constexpr int kDefaultFollowPauseMs = 4000;
    // The designed list width, at which every column has its start width.
    static constexpr int kDesignedWidth = 824;

    explicit ReportView(QWidget* parent = nullptr);

    void setModel(QAbstractItemModel* model) override;

    // Column 0 of the selected row; empty when no row is selected.
    QString CurrentUrl() const;
    // Column 0 of the row; empty for a row that does not exist.
    QString UrlAt(int row) const;
    // Column 0 of the selected rows, top to bottom, joined by CR LF.
    QString SelectedUrls() const;
    // Column 0 of every row, each followed by CR LF.
    QString AllUrls() const;
    // Selects the row and scrolls it into view.
    void SelectRow(int row);
    void ScrollToRow(int row);

    // True while a button is held on the list, its scroll bar is dragged or a popup menu is open, and for
    // the follow pause after the user last clicked, scrolled or typed in it.
    bool UserBusy() const;
    // The URL column's own width: what it has when the list is not wider than its columns need.
    int UrlColumnWidth() const { return m_urlWidth; }
    void SetFollowPause(int ms) { m_followPauseMs = ms; }
    void NoteUserActivity() { m_lastActivity.start(); }

signals:
    // A right click below the rows or the menu key: the list's menu is wanted there.
    void MenuRequested(const QPoint& globalPos);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QElapsedTimer m_lastActivity;
    int m_followPauseMs = kDefaultFollowPauseMs;
    bool m_buttonHeld = false;
    int m_urlWidth = 0;
    bool m_fillingUrl = false;
    void FillUrlColumn();
};
