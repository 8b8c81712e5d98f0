#pragma once

#include <QtPlugin>

class QWidget;

// An input-method plug-in beside the program. The program calls attach with each window's
// web view; none ships with the system.
class IMInterface
{
public:
    virtual ~IMInterface() = default;
    virtual void attach(QWidget *webView) = 0;
};

#define IMInterface_iid "kavo.im.iminterface"
Q_DECLARE_INTERFACE(IMInterface, IMInterface_iid)
