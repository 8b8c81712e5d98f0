#include "trayicon.h"

#include <QMenu>

TrayIcon::TrayIcon()
    : QSystemTrayIcon(nullptr)
    , m_menu(new QMenu)
{
    connect(m_menu->addAction(QStringLiteral("打开窗口")), &QAction::triggered, this, &TrayIcon::openMainWindow);
    m_menu->addSeparator();
    connect(m_menu->addAction(QStringLiteral("清空缓存")), &QAction::triggered, this, &TrayIcon::clearCache);
    m_menu->addSeparator();
    connect(m_menu->addAction(QStringLiteral("退出")), &QAction::triggered, this, &TrayIcon::exitApp);
    setContextMenu(m_menu);
}

TrayIcon::~TrayIcon()
{
    delete m_menu;
}
