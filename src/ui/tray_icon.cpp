#include "ui/tray_icon.h"

#include <QGuiApplication>
#include <QSystemTrayIcon>

using namespace Qt::StringLiterals;

TrayIcon::TrayIcon(QObject* parent)
    : QObject(parent)
{ }

TrayIcon::~TrayIcon()
{
    Remove();
}

bool TrayIcon::IsAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool TrayIcon::Add(const QIcon& icon, const QString& toolTip)
{
    m_toolTip = toolTip;
    // On X11 Qt watches for a tray to appear and puts a shown icon into it; elsewhere none will come.
    if (m_icon == nullptr && !IsAvailable() && QGuiApplication::platformName() != u"xcb"_s)
        return false;
    if (m_icon == nullptr) {
        m_icon = new QSystemTrayIcon(icon, this);
        m_icon->setToolTip(toolTip);
        // Queued: the handler may ask a modal question or remove the icon, which must not happen inside the
        // icon's own mouse event.
        connect(
            m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    emit Activated(Operation::ShowOrHide);
                else if (reason == QSystemTrayIcon::Context)
                    emit Activated(Operation::Exit);
            },
            Qt::QueuedConnection);
        m_icon->show();
    }
    return IsShown();
}

void TrayIcon::Remove()
{
    if (m_icon == nullptr)
        return;
    m_icon->hide();
    // Remove may run while the icon is still delivering an event of its own.
    m_icon->deleteLater();
    m_icon = nullptr;
}

bool TrayIcon::IsWanted() const
{
    return m_icon != nullptr;
}

bool TrayIcon::IsShown() const
{
    return m_icon != nullptr && IsAvailable();
}

QRect TrayIcon::Geometry() const
{
    return m_icon != nullptr ? m_icon->geometry() : QRect();
}

void TrayIcon::SetAppearance(const QIcon& icon, const QString& toolTip)
{
    m_toolTip = toolTip;
    if (m_icon == nullptr)
        return;
    m_icon->setIcon(icon);
    m_icon->setToolTip(toolTip);
}

bool TrayIcon::ShowMessage(const QString& title, const QString& text)
{
    if (m_icon == nullptr)
        return false;
    m_icon->showMessage(title, text);
    return true;
}
