#include "ui/tray_icon.h"

#include <QSystemTrayIcon>

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
    if (m_icon != nullptr)
        return true;
    if (!IsAvailable())
        return false;
    m_icon = new QSystemTrayIcon(icon, this);
    m_icon->setToolTip(toolTip);
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            emit Activated(Operation::ShowOrHide);
        else if (reason == QSystemTrayIcon::Context)
            emit Activated(Operation::Exit);
    });
    m_icon->show();
    return true;
}

void TrayIcon::Remove()
{
    if (m_icon == nullptr)
        return;
    m_icon->hide();
    delete m_icon;
    m_icon = nullptr;
}

bool TrayIcon::IsShown() const
{
    return m_icon != nullptr;
}

void TrayIcon::SetAppearance(const QIcon& icon, const QString& toolTip)
{
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
