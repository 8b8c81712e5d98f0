// Marks each web view it is given, so the test can see the call arrive.
#include "browser/iminterface.h"

#include <QObject>
#include <QWidget>

class TestImPlugin : public QObject, public IMInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID IMInterface_iid)
    Q_INTERFACES(IMInterface)
public:
    void attach(QWidget *webView) override { webView->setProperty("kavoImAttached", true); }
};

#include "test_implugin.moc"
