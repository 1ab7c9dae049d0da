#pragma once

#include <QIcon>
#include <QObject>
#include <QRect>

class QSystemTrayIcon;

// The notification-area icon. Add keeps the icon wanted even where the desktop has no tray yet: when a
// panel starts later (the usual order at log-in) the icon appears in it. Until then the program works
// without it.
class TrayIcon final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrayIcon)

public:
    // The numbers are the ones the notification area's messages have always carried.
    enum class Operation {
        ShowOrHide = 1, // primary click
        Exit = 3, // context click
    };

    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    static bool IsAvailable();

    // Returns whether the icon is in a tray now.
    bool Add(const QIcon& icon, const QString& toolTip);
    void Remove();
    // Whether Add was called (and Remove not since).
    bool IsWanted() const;
    // Whether the icon sits in a tray now.
    bool IsShown() const;
    // Where the tray shows the icon; empty while it is not in one.
    QRect Geometry() const;
    // Picture and tooltip of a shown icon (an abnormal state has its own).
    void SetAppearance(const QIcon& icon, const QString& toolTip);
    // The tooltip last given, also while no tray shows it.
    QString ToolTip() const { return m_toolTip; }
    // The tray's own balloon, for desktops without a notification service; false when no icon is shown.
    bool ShowMessage(const QString& title, const QString& text);

signals:
    void Activated(TrayIcon::Operation operation);

private:
    QSystemTrayIcon* m_icon = nullptr;
    QString m_toolTip;
};
