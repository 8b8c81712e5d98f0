#pragma once

#include <QList>
#include <QMainWindow>
#include <QUrl>
#include <QVariant>

#include "browser/pageevent.h"

class QLineEdit;
class QStackedWidget;
class QToolBar;
class SplashView;
class WebView;

// The top-level window a web application runs in. It starts on a splash page, slides the page in
// once loaded, publishes the bridge objects into every new script environment of its page and
// tells each page where the local server keeps the application's data.
class BrowserWindow : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(BrowserWindow)
public:
    explicit BrowserWindow(QWidget *parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    explicit BrowserWindow(const QUrl &url, QWidget *parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~BrowserWindow() override;

    void setAppUrl(const QUrl &url, int delayMs);
    QUrl appUrl() const { return m_appUrl; }

    // Runs script in the page's main document without waiting; dropped when the document shown
    // is of an untrusted origin.
    void runScript(const QString &script);
    // Raises a page event in the page's main document (inside the bridge call that raised it, where
    // one is under way); dropped for a document of an untrusted origin.
    void raiseEvent(const PageEvent::Event &event);

    WebView *webView() const { return m_webView; }
    SplashView *splashView() const { return m_splashView; }
    QWidget *inspector() const { return m_inspector; }
    QStackedWidget *stack() const { return m_stack; }
    QWidget *pageContainer() const { return m_pageContainer; }
    QLineEdit *addressEdit() const { return m_addressEdit; }
    QToolBar *navigationBar() const { return m_navigationBar; }
    bool isLoading() const { return m_loading; }
    // A window a page opened (window.open, a link to a new window, the factory's "Window") is
    // named after its page while the page has a title; the others keep the application's title.
    void setTitleFollowsPage(bool follows);
    int progress() const { return m_progress; }
    QList<QObject *> bridgeObjects() const { return m_bridgeObjects; }

    void setUseStoredSize(bool use) { m_useStoredSize = use; }
    bool useStoredSize() const { return m_useStoredSize; }

    void showAndActivate();
    void centerOnScreen();
    void showCentered();

    void applyWindowConfig();
    bool saveWindowSize();
    // The page that failed to load last, shown as the error text and loaded again by reload;
    // empty while a page is shown.
    QUrl failedUrl() const { return m_failedUrl; }

    // Raises event once, right after the next page load has finished (after Kavo.webRoot is set),
    // so listeners the page registers while it loads hear it.
    void runAfterFirstLoad(const PageEvent::Event &event);

signals:
    // After each finished load, once Kavo.webRoot is set and deferred scripts ran.
    void pageReady(bool ok);
    // The page has slid in over the splash.
    void pageShown();

public slots:
    void showModal(QString url);
    // Toggles the visibility of an inspector widget.
    void setInspector(QObject *inspector);

protected slots:
    void changeLocation();
    void adjustTitle();
    void setProgress(int p);
    void onFinishedLoading(bool ok);
    void onDocumentStarting(const QString &origin);
    void onUrlChanged(const QUrl &url);
    void onIndiLooped();
    void onLoadAppUrl();
    void onStartLoadUrl();
    void loadingAnimationFinished();
    void onGeometryChangeRequested(const QRect &rect);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void construct();
    void createNavigationBar(const QString &text);
    void deleteBridgeObjects();
    bool isApplicationMainWindow() const;
    bool hidesToTray() const;

    WebView *m_webView = nullptr;
    QWidget *m_pageContainer = nullptr;
    SplashView *m_splashView = nullptr;
    QWidget *m_inspector = nullptr;
    QStackedWidget *m_stack = nullptr;
    QLineEdit *m_addressEdit = nullptr;
    QToolBar *m_navigationBar = nullptr;
    QUrl m_appUrl;
    bool m_useStoredSize = false;
    bool m_storedSizeApplied = false;
    bool m_showingErrorPage = false;
    QUrl m_failedUrl;
    QUrl m_requestedUrl;
    bool m_loading = false;
    bool m_titleFollowsPage = false;
    int m_progress = 0;
    QList<QObject *> m_bridgeObjects;
    QList<PageEvent::Event> m_afterLoadEvents;
};
