#include "network/autosaver.h"
#include "network/cookiejar.h"
#include "network/networkaccessmanager.h"
#include "network/userfolders.h"

#include <QNetworkCookie>
#include <QNetworkDiskCache>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>

// Counts the saves the auto-saver asks for.
class SaveCounter : public QObject
{
    Q_OBJECT
public:
    int saves = 0;
public slots:
    void save() { ++saves; }
};

// The jar against its real store, cookies.ini in the data location of a per-test HOME.
class tst_CookieJar : public QObject
{
    Q_OBJECT

    static QNetworkCookie cookie(const QByteArray &name, const QByteArray &value, const QString &domain = QString(),
                                 const QDateTime &expiry = QDateTime::currentDateTime().addDays(30))
    {
        QNetworkCookie c(name, value);
        if (!domain.isEmpty())
            c.setDomain(domain);
        if (expiry.isValid())
            c.setExpirationDate(expiry);
        return c;
    }

    static void setPolicies(const QString &accept, const QString &keep)
    {
        QSettings settings;
        settings.beginGroup(QStringLiteral("cookies"));
        settings.setValue(QStringLiteral("acceptCookies"), accept);
        settings.setValue(QStringLiteral("keepCookiesUntil"), keep);
    }

    // The stored text of a QVariantList claiming 2^32-1 entries.
    static QByteArray hugeListText() { return "\\0\\0\\0\\t\\xff\\xff\\xff\\xff"; }

    static QStringList names(const QList<QNetworkCookie> &cookies)
    {
        QStringList result;
        for (const QNetworkCookie &c : cookies)
            result << QString::fromLatin1(c.name());
        result.sort();
        return result;
    }

private slots:
    void init()
    {
        QFile::remove(CookieJar::storePath());
        QSettings().clear();
        CookieJar::setPrivateBrowsingProbe(nullptr);
    }

    void acceptPolicies_data()
    {
        QTest::addColumn<QString>("accept");
        QTest::addColumn<QStringList>("allowed");
        QTest::addColumn<QStringList>("blocked");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<bool>("stored");
        QTest::newRow("never, host allowed") << "AcceptNever" << QStringList{"a.example"} << QStringList()
                                              << "http://a.example/" << QString() << true;
        QTest::newRow("never, other host") << "AcceptNever" << QStringList{"a.example"} << QStringList()
                                            << "http://b.example/" << QString() << false;
        QTest::newRow("always, foreign domain") << "AcceptAlways" << QStringList() << QStringList()
                                                 << "http://a.example/" << ".other.test" << true;
        QTest::newRow("navigated-to, foreign domain")
            << "AcceptOnlyFromSitesNavigatedTo" << QStringList() << QStringList() << "http://a.example/"
            << ".other.test" << false;
        QTest::newRow("blocked host") << "AcceptAlways" << QStringList() << QStringList{"a.example"}
                                       << "http://a.example/" << QString() << false;
        QTest::newRow("blocking is exact, subdomain passes")
            << "AcceptAlways" << QStringList() << QStringList{"example.org"} << "http://www.example.org/" << QString()
            << true;
        QTest::newRow("unknown policy text means navigated-to")
            << "Whatever" << QStringList() << QStringList() << "http://a.example/" << QString() << true;
    }

    void acceptPolicies()
    {
        QFETCH(QString, accept);
        QFETCH(QStringList, allowed);
        QFETCH(QStringList, blocked);
        QFETCH(QString, url);
        QFETCH(QString, domain);
        QFETCH(bool, stored);
        setPolicies(accept, QStringLiteral("KeepUntilExpire"));
        CookieJar jar;
        jar.setAllowedCookies(allowed);
        jar.setBlockedCookies(blocked);
        QCOMPARE(jar.setCookiesFromUrl({cookie("c", "1", domain)}, QUrl(url)), stored);
        QCOMPARE(jar.storedCookies().size(), stored ? 1 : 0);
    }

    void allowForSessionPassesUnderAcceptNever()
    {
        setPolicies(QStringLiteral("AcceptNever"), QStringLiteral("KeepUntilExpire"));
        CookieJar jar;
        jar.setAllowForSessionCookies({QStringLiteral("s.example"), QStringLiteral("a.example")});
        QCOMPARE(jar.allowForSessionCookies(), (QStringList{"a.example", "s.example"}));
        QVERIFY(jar.setCookiesFromUrl({cookie("c", "1")}, QUrl(QStringLiteral("http://s.example/"))));
        QVERIFY(!jar.setCookiesFromUrl({cookie("c", "1")}, QUrl(QStringLiteral("http://t.example/"))));
    }

    void cookiesSurviveARestart()
    {
        {
            CookieJar jar;
            QVERIFY(jar.setCookiesFromUrl({cookie("kept", "中文值"), cookie("session", "s", QString(), QDateTime())},
                                          QUrl(QStringLiteral("http://a.example/"))));
            jar.setBlockedCookies({QStringLiteral("bad.example")});
        }
        QVERIFY(QFile::exists(CookieJar::storePath()));
        CookieJar again;
        const QList<QNetworkCookie> cookies = again.cookiesForUrl(QUrl(QStringLiteral("http://a.example/")));
        QCOMPARE(names(cookies), QStringList{"kept"});
        QCOMPARE(cookies.first().value(), QByteArray("中文值"));
        QCOMPARE(again.blockedCookies(), QStringList{"bad.example"});
    }

    // Each application keeps its cookies and web cache in a folder of its own; a name that is no
    // plain folder name keeps the program's own folders.
    void applicationsKeepTheirOwnCookies_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain name") << "Demo" << "/Demo";
        QTest::newRow("spaces and non-ASCII") << "卡沃 App" << "/卡沃 App";
        QTest::newRow("none") << "" << "";
        QTest::newRow("parent") << ".." << "";
        QTest::newRow("with a slash") << "a/b" << "";
    }

    void applicationsKeepTheirOwnCookies()
    {
        QFETCH(QString, name);
        QFETCH(QString, folder);
        const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
        UserFolders::setApplication(QStringLiteral("Other"));
        QFile::remove(CookieJar::storePath());
        {
            CookieJar jar;
            QVERIFY(jar.setCookiesFromUrl({cookie("other", "1")}, QUrl(QStringLiteral("http://a.example/"))));
        }
        UserFolders::setApplication(name);
        QCOMPARE(CookieJar::storePath(), data + folder + QStringLiteral("/cookies.ini"));
        {
            NetworkAccessManager manager;
            auto *diskCache = qobject_cast<QNetworkDiskCache *>(manager.cache());
            QVERIFY(diskCache);
            QCOMPARE(QDir(diskCache->cacheDirectory()).absolutePath(), QDir(cache + folder).absolutePath());
        }
        QFile::remove(CookieJar::storePath());
        {
            // Another application's login is not this one's.
            CookieJar jar;
            QVERIFY(jar.storedCookies().isEmpty());
            QVERIFY(jar.setCookiesFromUrl({cookie("own", "1")}, QUrl(QStringLiteral("http://a.example/"))));
        }
        UserFolders::setApplication(QStringLiteral("Other"));
        QCOMPARE(names(CookieJar().storedCookies()), QStringList{"other"});
        UserFolders::setApplication(name);
        QCOMPARE(names(CookieJar().storedCookies()), QStringList{"own"});
        UserFolders::setApplication(QString());
    }

    void storedPoliciesAreRead()
    {
        setPolicies(QStringLiteral("AcceptNever"), QStringLiteral("KeepUntilTimeLimit"));
        CookieJar jar;
        QCOMPARE(jar.acceptPolicy(), CookieJar::AcceptNever);
        QCOMPARE(jar.keepPolicy(), CookieJar::KeepUntilTimeLimit);
    }

    void keepUntilExitForgetsEverything()
    {
        {
            CookieJar jar;
            QVERIFY(jar.setCookiesFromUrl({cookie("c", "1")}, QUrl(QStringLiteral("http://a.example/"))));
        }
        setPolicies(QStringLiteral("AcceptOnlyFromSitesNavigatedTo"), QStringLiteral("KeepUntilExit"));
        CookieJar jar;
        QVERIFY(jar.storedCookies().isEmpty());
    }

    void timeLimitCapsExpiryAt90Days()
    {
        setPolicies(QStringLiteral("AcceptOnlyFromSitesNavigatedTo"), QStringLiteral("KeepUntilTimeLimit"));
        CookieJar jar;
        const QDateTime inAYear = QDateTime::currentDateTime().addDays(365);
        QVERIFY(jar.setCookiesFromUrl({cookie("long", "1", QString(), inAYear), cookie("session", "s", QString(), QDateTime())},
                                      QUrl(QStringLiteral("http://a.example/"))));
        for (const QNetworkCookie &c : jar.storedCookies()) {
            if (c.name() == "long") {
                const qint64 days = QDateTime::currentDateTime().daysTo(c.expirationDate());
                QVERIFY2(days >= 89 && days <= 90, qPrintable(QString::number(days)));
            } else {
                QVERIFY(c.isSessionCookie());
            }
        }
    }

    // A cookie repeated on every answer replaces its stored copy instead of piling up.
    void acceptAlwaysReplacesSameCookie()
    {
        setPolicies(QStringLiteral("AcceptAlways"), QStringLiteral("KeepUntilExpire"));
        {
            CookieJar jar;
            for (int i = 0; i < 5; ++i) {
                QVERIFY(jar.setCookiesFromUrl({cookie("sid", QByteArray::number(i), QStringLiteral(".other.test"))},
                                              QUrl(QStringLiteral("http://a.example/"))));
            }
            QCOMPARE(jar.storedCookies().size(), 1);
            QCOMPARE(jar.storedCookies().first().value(), QByteArray("4"));
        }
        CookieJar again;
        QCOMPARE(again.storedCookies().size(), 1);
    }

    // The store is replaced whole: a save that cannot write keeps the stored cookies.
    void failedSaveKeepsStoredCookies()
    {
        {
            CookieJar jar;
            QVERIFY(jar.setCookiesFromUrl({cookie("first", "1")}, QUrl(QStringLiteral("http://a.example/"))));
        }
        const QString blocker = CookieJar::storePath() + QStringLiteral(".new");
        QVERIFY(QDir().mkpath(blocker));
        QVERIFY(QFile::exists(blocker + QStringLiteral("/."))); // a directory where the new store would go
        QDir(blocker).mkdir(QStringLiteral("keep"));
        {
            CookieJar jar;
            jar.setCookiesFromUrl({cookie("second", "2")}, QUrl(QStringLiteral("http://a.example/")));
        }
        QDir(blocker).removeRecursively();
        CookieJar again;
        QCOMPARE(names(again.storedCookies()), QStringList{"first"});
    }

    void privateBrowsingGivesAndTakesNothing()
    {
        CookieJar jar;
        QVERIFY(jar.setCookiesFromUrl({cookie("c", "1")}, QUrl(QStringLiteral("http://a.example/"))));
        CookieJar::setPrivateBrowsingProbe([] { return true; });
        QVERIFY(jar.cookiesForUrl(QUrl(QStringLiteral("http://a.example/"))).isEmpty());
        QVERIFY(!jar.setCookiesFromUrl({cookie("d", "1")}, QUrl(QStringLiteral("http://a.example/"))));
        CookieJar::setPrivateBrowsingProbe(nullptr);
        QCOMPARE(jar.cookiesForUrl(QUrl(QStringLiteral("http://a.example/"))).size(), 1);
    }

    // A real store with one change in its text. A list of another stream version is the jar's own
    // and loads empty; a variant of any other type, wherever it is, is refused before Qt's variant
    // reader sees it (a list claiming 2^32-1 entries would abort it), loads nothing and is kept
    // aside once, private, as it was.
    void damagedStoreLoadsEmpty_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QStringList>("cookies");
        QTest::addColumn<QStringList>("allowed");
        QTest::addColumn<bool>("keptAside");
        // The variant's type name, its NUL, then the list's 32-bit version 23 (0x17).
        const QByteArray header = "\\0\\0\\0\\x7f\\0\\0\\0\\x16QList<QNetworkCookie>\\0\\0\\0\\0\\x17";
        const QByteArray hugeList = hugeListText();
        QTest::newRow("untouched") << header << header << QStringList{"kept"} << QStringList{"ok.example"} << false;
        QTest::newRow("list of another stream version")
            << header << QByteArray("\\0\\0\\0\\x7f\\0\\0\\0\\x16QList<QNetworkCookie>\\0\\0\\0\\0\\x16")
            << QStringList() << QStringList{"ok.example"} << false;
        QTest::newRow("variant of another type")
            << header << QByteArray("\\0\\0\\0\\n") << QStringList() << QStringList() << true;
        QTest::newRow("unregistered type name")
            << header << QByteArray("\\0\\0\\0\\x7f\\0\\0\\0\\x16QList<QNetworkCookiX>\\0\\0\\0\\0\\x17")
            << QStringList() << QStringList() << true;
        QTest::newRow("list with a huge count") << header << hugeList << QStringList() << QStringList() << true;
        QTest::newRow("date variant in another key")
            << QByteArray("[Exceptions]") << "[Exceptions]\nwhen=@DateTime(" + hugeList + ")" << QStringList()
            << QStringList() << true;
        QTest::newRow("variant spelled with escapes")
            << QByteArray("[Exceptions]") << "[Exceptions]\nx=\"\\x40V\"ariant(" + hugeList + ")" << QStringList()
            << QStringList() << true;
        QTest::newRow("variant as a list element")
            << QByteArray("allow=ok.example") << "allow=ok.example, @Variant(" + hugeList + ")" << QStringList()
            << QStringList() << true;
        // Qt decodes a line that a later one of the same key overrides as well.
        QTest::newRow("variant overridden by a later line")
            << QByteArray("[Exceptions]") << "[Exceptions]\nallow=@Variant(" + hugeList + ")" << QStringList{"kept"}
            << QStringList{"ok.example"} << false;
        QTest::newRow("host starting with @ stays text")
            << QByteArray("allow=ok.example") << QByteArray("allow=ok.example, @@Variant(x)") << QStringList{"kept"}
            << QStringList{"@Variant(x)", "ok.example"} << false;
    }

    void damagedStoreLoadsEmpty()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QStringList, cookies);
        QFETCH(QStringList, allowed);
        QFETCH(bool, keptAside);
        const QString aside = CookieJar::storePath() + QStringLiteral(".damaged");
        QFile::remove(aside);
        {
            CookieJar jar;
            jar.setAllowedCookies({QStringLiteral("ok.example")});
            QVERIFY(jar.setCookiesFromUrl({cookie("kept", "1")}, QUrl(QStringLiteral("http://a.example/"))));
        }
        QFile file(CookieJar::storePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray stored = file.readAll();
        file.close();
        QCOMPARE(stored.count(from), 1);
        stored.replace(from, to);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(stored), qint64(stored.size()));
        file.close();

        {
            CookieJar jar;
            QCOMPARE(names(jar.storedCookies()), cookies);
            QCOMPARE(jar.allowedCookies(), allowed);
            // The next save replaces the store; the kept copy stays as it was.
            QVERIFY(jar.setCookiesFromUrl({cookie("new", "1")}, QUrl(QStringLiteral("http://a.example/"))));
        }
        QCOMPARE(QFile::exists(aside), keptAside);
        CookieJar after;
        QVERIFY(names(after.storedCookies()).contains(QStringLiteral("new")));
        if (!keptAside)
            return;
        QFile copy(aside);
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), stored);
        struct stat st = {};
        QCOMPARE(::stat(QFile::encodeName(aside).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
        copy.close();
        // Kept once: a later damaged store does not replace the first copy.
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(file.write("[General]\ncookies=@Variant(" + hugeListText() + ")\n") > 0);
        file.close();
        CookieJar again;
        QVERIFY(again.storedCookies().isEmpty());
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), stored);
        // No private copy of the store is left behind.
        const QDir storeDir(QFileInfo(aside).path());
        QVERIFY(storeDir.entryList({QStringLiteral("*.read-*")}, QDir::Files | QDir::Hidden).isEmpty());
    }

    // The policies' file is the user's: one holding a value Qt's variant reader would decode leaves
    // the defaults in force and is not rewritten, since writing it would make Qt read it whole.
    void refusedPolicyFileIsLeftAlone()
    {
        const QString path = QSettings().fileName();
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        const QByteArray text = "[cookies]\nacceptCookies=AcceptNever\nkeepCookiesUntil=@Variant(" + hugeListText() + ")\n";
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(file.write(text) == text.size());
        file.close();
        {
            CookieJar jar;
            QCOMPARE(jar.acceptPolicy(), CookieJar::AcceptOnlyFromSitesNavigatedTo);
            QCOMPARE(jar.keepPolicy(), CookieJar::KeepUntilExpire);
            jar.setAcceptPolicy(CookieJar::AcceptAlways);
            QVERIFY(jar.setCookiesFromUrl({cookie("sid", "1")}, QUrl(QStringLiteral("http://a.example/"))));
        }
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), text);
        file.close();
        CookieJar after;
        QCOMPARE(names(after.storedCookies()), QStringList{"sid"});
        // A line that a later one overrides is ignored, and a save keeps the policies through the parser.
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(file.write("[cookies]\nacceptCookies=@Variant(" + hugeListText() + ")\nacceptCookies=AcceptNever\n") > 0);
        file.close();
        {
            CookieJar jar;
            QCOMPARE(jar.acceptPolicy(), CookieJar::AcceptNever);
            jar.setAcceptPolicy(CookieJar::AcceptAlways);
            QVERIFY(jar.setCookiesFromUrl({cookie("sid", "2")}, QUrl(QStringLiteral("http://a.example/"))));
        }
        QCOMPARE(CookieJar().acceptPolicy(), CookieJar::AcceptAlways);
        QVERIFY(file.remove());
    }

    // The store holds session tokens: it is private to its owner, also when an older store was not.
    void storeIsPrivateToItsOwner()
    {
        QDir().mkpath(QFileInfo(CookieJar::storePath()).path());
        {
            QFile old(CookieJar::storePath());
            QVERIFY(old.open(QIODevice::WriteOnly));
            QVERIFY(old.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                       | QFileDevice::ReadOther));
        }
        const mode_t previous = ::umask(022);
        {
            CookieJar jar;
            QVERIFY(jar.setCookiesFromUrl({cookie("sid", "secret")}, QUrl(QStringLiteral("http://a.example/"))));
        }
        ::umask(previous);
        struct stat st = {};
        QCOMPARE(::stat(QFile::encodeName(CookieJar::storePath()).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
        CookieJar again;
        QCOMPARE(names(again.storedCookies()), QStringList{"sid"});
    }

    void burstOfChangesIsSavedOnce()
    {
        SaveCounter counter;
        AutoSaver saver(&counter);
        for (int i = 0; i < 10; ++i)
            saver.changeOccurred();
        QCOMPARE(counter.saves, 0);
        QTRY_COMPARE_WITH_TIMEOUT(counter.saves, 1, 6000);
        QTest::qWait(200);
        QCOMPARE(counter.saves, 1);
        QVERIFY(!saver.isPending());
    }

    void pendingChangeIsSavedWhenJarEnds()
    {
        {
            CookieJar jar;
            jar.setAllowedCookies({QStringLiteral("ok.example")});
        }
        QSettings store(CookieJar::storePath(), QSettings::IniFormat);
        QCOMPARE(store.value(QStringLiteral("Exceptions/allow")).toStringList(), QStringList{"ok.example"});
    }
};

QTEST_MAIN(tst_CookieJar)
#include "tst_cookiejar.moc"
