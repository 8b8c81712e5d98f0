#include "browserwindow.h"

#include "browsercontext.h"
#include "pagemanager.h"
#include "splashview.h"
#include "webview.h"

#include "core/fileutils.h"
#include "browser/bridgelifetime.h"
#include "browser/host.h"
#include "browser/pageevent.h"
#include "core/config.h"
#include "browser/iminterface.h"

#include <QAction>
#include <QCloseEvent>
#include <QDebug>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QNetworkProxyFactory>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include <utility>

namespace {
// Integer keys absent from an INI file read as this value.
constexpr int missingSize = -99999;
const char userConfigFile[] = "data/user.conf";
} // namespace

BrowserWindow::BrowserWindow(QWidget *parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags)
{
    construct();
    if (!isAppMode())
        createNavigationBar(QString());
}

BrowserWindow::BrowserWindow(const QUrl &url, QWidget *parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags)
{
    construct();
    setAppUrl(url, 100);
    if (!isAppMode())
        createNavigationBar(url.toString());
}

BrowserWindow::~BrowserWindow()
{
    deleteBridgeObjects();
}

void BrowserWindow::construct()
{
    m_stack = new QStackedWidget(this);

    m_splashView = new SplashView(this);
    connect(m_splashView, &SplashView::indicatorLooped, this, &BrowserWindow::onIndiLooped);
    m_stack->addWidget(m_splashView);
    m_stack->setCurrentWidget(m_splashView);

    m_pageContainer = new QWidget();
    auto *layout = new QVBoxLayout();
    auto *splitter = new QSplitter(Qt::Vertical);
    m_webView = WebView::create();
    splitter->addWidget(m_webView);
    m_inspector = m_webView->inspector(splitter);
    // Added now, so the splitter's deferred child handling cannot show it again after hide().
    splitter->addWidget(m_inspector);
    layout->addWidget(splitter);
    layout->setContentsMargins(0, 0, 0, 0);
    m_inspector->hide();

    m_pageContainer->setLayout(layout);
    m_stack->addWidget(m_pageContainer);

    connect(m_webView, &WebView::titleChanged, this, &BrowserWindow::adjustTitle);
    connect(m_webView, &WebView::loadProgress, this, &BrowserWindow::setProgress);
    connect(m_webView, &WebView::loadFinished, this, &BrowserWindow::onFinishedLoading);
    connect(m_webView, &WebView::loadStarted, this, &BrowserWindow::onStartLoadUrl);
    connect(m_webView, &WebView::urlChanged, this, &BrowserWindow::onUrlChanged);
    connect(m_webView, &WebView::documentStarting, this, &BrowserWindow::onDocumentStarting);
    connect(m_webView, &WebView::geometryChangeRequested, this, &BrowserWindow::onGeometryChangeRequested);

    setCentralWidget(m_stack);
    setWindowIcon(QIcon(absolutePath(appConfig().icon())));
    // Every window of the application carries its title (its name without one: an empty title
    // would show the program's file name).
    setWindowTitle(appConfig().displayName());

    if (IMInterface *im = BrowserContext::imInterface())
        im->attach(m_webView->inputWidget());

    setUnifiedTitleAndToolBarOnMac(true);
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

void BrowserWindow::createNavigationBar(const QString &text)
{
    if (m_navigationBar)
        return;
    m_addressEdit = new QLineEdit(this);
    QSizePolicy policy = m_addressEdit->sizePolicy();
    policy.setHorizontalPolicy(QSizePolicy::Expanding);
    m_addressEdit->setSizePolicy(policy);
    m_navigationBar = addToolBar(tr("Navigation"));
    m_navigationBar->addWidget(m_addressEdit);
    m_navigationBar->addAction(m_webView->action(WebView::Back));
    m_navigationBar->addAction(m_webView->action(WebView::Forward));
    m_navigationBar->addAction(m_webView->action(WebView::Reload));
    m_navigationBar->addAction(m_webView->action(WebView::Stop));
    m_addressEdit->setText(text);
    connect(m_addressEdit, &QLineEdit::returnPressed, this, &BrowserWindow::changeLocation);
}

void BrowserWindow::setAppUrl(const QUrl &url, int delayMs)
{
    m_appUrl = url;
    QTimer::singleShot(delayMs, this, &BrowserWindow::onLoadAppUrl);
}

void BrowserWindow::runScript(const QString &script)
{
    if (m_webView)
        m_webView->runScript(script);
}

void BrowserWindow::raiseEvent(const PageEvent::Event &event)
{
    if (m_webView && event.isValid())
        m_webView->raiseEvent(event);
}

void BrowserWindow::runAfterFirstLoad(const PageEvent::Event &event)
{
    m_afterLoadEvents.append(event);
}

void BrowserWindow::showAndActivate()
{
    showNormal();
    activateWindow();
}

void BrowserWindow::centerOnScreen()
{
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    move((screen.width() - width()) / 2, (screen.height() - height()) / 2);
}

void BrowserWindow::showCentered()
{
    showAndActivate();
    centerOnScreen();
}

void BrowserWindow::applyWindowConfig()
{
    const AppConfig config(appConfig());
    UserConfig user(config.name(), 400, 780);
    int w = config.width();
    int h = config.height();
    // A user.conf without this application's sizes counts as not loaded.
    if (user.load(QLatin1String(userConfigFile)) && user.width() != missingSize && user.height() != missingSize) {
        w = user.width();
        h = user.height();
    }
    if (w > 0 || h > 0) {
        resize(w, h);
        setMinimumSize(360, 560);
    }
    setWindowTitle(config.displayName());
}

bool BrowserWindow::saveWindowSize()
{
    UserConfig user(appConfig().name(), width(), height());
    return user.save(QLatin1String(userConfigFile));
}

void BrowserWindow::showModal(QString url)
{
    Q_UNUSED(url);
    showAndActivate();
}

void BrowserWindow::setInspector(QObject *inspector)
{
    auto *widget = qobject_cast<QWidget *>(inspector);
    if (!widget)
        return;
    widget->setVisible(widget->isHidden());
}

void BrowserWindow::changeLocation()
{
    QString text = m_addressEdit->text();
    if (!text.startsWith(QLatin1String("http://")) && !text.startsWith(QLatin1String("https://")))
        text.prepend(QLatin1String("http://"));
    m_addressEdit->setText(text);
    m_webView->load(QUrl(text));
    m_webView->setFocus();
}

void BrowserWindow::setTitleFollowsPage(bool follows)
{
    m_titleFollowsPage = follows;
    adjustTitle();
}

void BrowserWindow::adjustTitle()
{
    // The application's own windows keep the configured title; none follows the progress.
    if (!m_titleFollowsPage)
        return;
    // An engine names a page without a title after its address.
    const QString page = m_webView->title().trimmed();
    const QUrl url = m_webView->url();
    const bool titled = !page.isEmpty() && page != url.toString() && page != url.toDisplayString()
        && page != url.toString(QUrl::RemoveScheme).mid(2);
    setWindowTitle(titled ? page : appConfig().displayName());
}

void BrowserWindow::setProgress(int p)
{
    m_progress = p;
    adjustTitle();
}

void BrowserWindow::onFinishedLoading(bool ok)
{
    m_loading = false;
    runScript(QStringLiteral("(window.Kavo = window.Kavo || {picturelist: []}).webRoot='%1/';")
                  .arg(PageEvent::escapeScriptString(BrowserContext::webRoot())));
    if (m_showingErrorPage) {
        // The error text itself has loaded; the address stays the failed one.
        m_showingErrorPage = false;
        if (m_addressEdit)
            m_addressEdit->setText(m_failedUrl.toString());
        return;
    }
    // The title is escaped, so a quote in it no longer swallows the event.
    raiseEvent(PageEvent::windowLoaded(m_webView->title()));
    if (!ok) {
        QUrl failed = m_webView->requestedUrl();
        if (failed.isEmpty())
            failed = m_requestedUrl;
        // Reload (button or F5) tries the failed page again, not the error text.
        m_failedUrl = failed;
        m_webView->setReloadUrl(failed);
        m_showingErrorPage = true;
        // The text stays the one sentence; the log, and the text's tool tip, say what was asked
        // and what went wrong.
        QString reason = m_webView->loadErrorString();
        if (reason.isEmpty())
            reason = QStringLiteral("the engine gave no reason");
        qWarning("加载失败: %s: %s", qUtf8Printable(failed.toString()), qUtf8Printable(reason));
        const QString detail = (failed.toString() + QStringLiteral(": ") + reason).toHtmlEscaped();
        m_webView->setHtml(QStringLiteral("<html title=\"%1\">加载失败!</html>").arg(detail));
    } else {
        m_failedUrl.clear();
        m_webView->setReloadUrl(QUrl());
        // Events waiting for a page, such as the end of an update, reach the first page that
        // loaded, once its own scripts have registered their listeners.
        const QList<PageEvent::Event> events = m_afterLoadEvents;
        m_afterLoadEvents.clear();
        for (const PageEvent::Event &event : events)
            raiseEvent(event);
    }
    emit pageReady(ok);
}

void BrowserWindow::deleteBridgeObjects()
{
    // An object whose slot still waits in a modal dialog goes once that slot has returned.
    for (QObject *object : std::as_const(m_bridgeObjects))
        BridgeLifetime::retire(object);
    m_bridgeObjects.clear();
}

void BrowserWindow::onDocumentStarting(const QString &origin)
{
    deleteBridgeObjects();
    // Decided on the document now being set up, after any redirect: another site gets nothing.
    if (!m_webView->trustsDocument(origin, m_webView->url()))
        return;
    const auto objects = Host::instance().windowObjects();
    for (const auto &entry : objects) {
        QObject *object = entry.second(this);
        if (!object)
            continue;
        m_bridgeObjects.append(object);
        m_webView->publishObject(entry.first, object);
    }
}

void BrowserWindow::onUrlChanged(const QUrl &url)
{
    // The address of the document shown, after redirects; the error text keeps the failed one.
    if (m_addressEdit && !m_showingErrorPage && url.isValid() && !url.isEmpty())
        m_addressEdit->setText(url.toString());
}

void BrowserWindow::onIndiLooped()
{
    if (m_loading || m_stack->currentWidget() == m_pageContainer)
        return;
    auto *group = new QParallelAnimationGroup(this);
    auto *splashOut = new QPropertyAnimation(m_splashView, "pos", group);
    splashOut->setDuration(500);
    splashOut->setEasingCurve(QEasingCurve::InOutQuad);
    splashOut->setStartValue(QPoint(0, 0));
    splashOut->setEndValue(QPoint(-width(), 0));
    auto *pageIn = new QPropertyAnimation(m_pageContainer, "pos", group);
    pageIn->setDuration(500);
    pageIn->setEasingCurve(QEasingCurve::InOutQuad);
    pageIn->setStartValue(QPoint(width(), 0));
    pageIn->setEndValue(QPoint(0, 0));
    group->addAnimation(splashOut);
    group->addAnimation(pageIn);

    m_pageContainer->resize(size());
    m_pageContainer->setVisible(true);
    connect(group, &QAbstractAnimation::finished, this, &BrowserWindow::loadingAnimationFinished);
    group->start(QAbstractAnimation::DeleteWhenStopped);
    m_splashView->stop();
}

void BrowserWindow::onLoadAppUrl()
{
    if (m_appUrl.isValid() && !m_appUrl.isEmpty())
        m_webView->load(m_appUrl);
}

void BrowserWindow::onStartLoadUrl()
{
    m_loading = true;
    // The error text of a failed load has no address of its own.
    if (m_showingErrorPage)
        return;
    m_requestedUrl = m_webView->requestedUrl();
    if (m_navigationBar && m_addressEdit)
        m_addressEdit->setText(m_requestedUrl.toString());
}

void BrowserWindow::loadingAnimationFinished()
{
    m_stack->setCurrentWidget(m_pageContainer);
    emit pageShown();
}

void BrowserWindow::onGeometryChangeRequested(const QRect &rect)
{
    // QtWebEngine asks for an empty rectangle for a window opened without features (a link with
    // target="_blank"): that window keeps its own size instead of shrinking to nothing.
    if (rect.width() <= 0 || rect.height() <= 0)
        return;
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const int x = qMax(rect.left(), available.left());
    const int y = qMax(rect.top(), available.top());
    if (QGuiApplication::screens().size() < 2)
        move(x, y);
    else
        move(this->x(), y);
    resize(rect.width(), rect.height());
}

bool BrowserWindow::isApplicationMainWindow() const
{
    return isAppMode() && PageManager::mainWindow() == this;
}

bool BrowserWindow::hidesToTray() const
{
    // Without a tray to come back from, a hidden window would be out of the user's reach.
    return isApplicationMainWindow() && BrowserContext::canHideToTray();
}

void BrowserWindow::keyPressEvent(QKeyEvent *event)
{
    const Qt::KeyboardModifiers both = Qt::ControlModifier | Qt::ShiftModifier;
    const bool ctrlShift = (event->modifiers() & both) == both;
    if (ctrlShift && event->key() == Qt::Key_I) {
        // Its own shown/hidden state: while the splash is up the inspector is never visible.
        m_inspector->setVisible(m_inspector->isHidden());
    } else if (event->matches(QKeySequence::Refresh)) {
        // The same as the navigation bar's reload, also in application mode, which has no bar.
        m_webView->action(WebView::Reload)->trigger();
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void BrowserWindow::closeEvent(QCloseEvent *event)
{
    if (hidesToTray()) {
        event->ignore();
        hide();
        return;
    }
    // Only the application's main window (the one that takes the stored size) keeps its size;
    // pop-ups and script-made windows would overwrite it with theirs.
    if (m_useStoredSize)
        saveWindowSize();
    QMainWindow::closeEvent(event);
    PageManager::removeWindow(this);
}

void BrowserWindow::showEvent(QShowEvent *event)
{
    // The stored size is for the first show; a window restored from the tray or from being
    // minimised keeps the size the user gave it since.
    if (m_useStoredSize && !m_storedSizeApplied) {
        m_storedSizeApplied = true;
        applyWindowConfig();
    }
    QMainWindow::showEvent(event);
}

void BrowserWindow::changeEvent(QEvent *event)
{
    // Only the application-mode main window has a tray icon to come back from, and only while
    // the desktop shows one; every other window minimises normally instead of vanishing.
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) && hidesToTray()) {
        QTimer::singleShot(0, this, &QWidget::hide);
    }
    QMainWindow::changeEvent(event);
}
