#pragma once

#include <QIcon>
#include <QObject>

class QSystemTrayIcon;

// The notification-area icon. Where the desktop has no tray, Add does nothing and the program works
// without it. Operation 1 is the primary click (show or hide), 3 the context click (exit).
class TrayIcon final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrayIcon)

public:
    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    static bool IsAvailable();

    // Returns whether the icon is now shown.
    bool Add(const QIcon& icon, const QString& toolTip);
    void Remove();
    bool IsShown() const;

signals:
    void Activated(int operation);

private:
    QSystemTrayIcon* m_icon = nullptr;
};
