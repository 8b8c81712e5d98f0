// The source folders form layers: a folder includes only from the folders below it, so the include
// graph between folders has no cycle and a newcomer can read the architecture from the tree.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Layer
{
    const char *folder;
    QStringList uses;
};

// Lowest first. A folder may use only folders listed before it; bench/ sits on top of everything.
const QVector<Layer> &layers()
{
    static const QVector<Layer> table = {
        {"core", {}},
        {"network", {"core"}},
        {"zip", {"core"}},
        {"download", {"core", "network"}},
        {"httpserver", {"core", "zip"}},
        {"widgets", {"core"}},
        {"browser", {"core", "network"}},
        {"bridge", {"core", "network", "zip", "download", "widgets", "browser"}},
        {"shell", {"core", "network", "zip", "download", "httpserver", "widgets", "browser", "bridge"}},
        {"updater", {"core", "network", "zip", "download", "widgets"}},
        {"bench", {"core", "network", "zip", "download", "httpserver", "widgets", "browser", "bridge"}},
    };
    return table;
}

const QSet<QString> &unlayeredFolders()
{
    // Tests may include anything; the rest hold no C++.
    static const QSet<QString> folders = {"tests", "build", "cmake", "demo", "docs", "resources", "scripts"};
    return folders;
}

// One engine per build, behind one seam: only an engine's own folder (browser/webkit,
// browser/webengine) includes its Qt headers, and only browser/webviewfactory.cpp includes an
// engine folder. Tests too, so the same test sources run on both engines; bench/ may compare
// against a bare engine.
QStringList engineViolations(const QString &root)
{
    static const QRegularExpression engineHeader(QStringLiteral("^\\s*#\\s*include\\s+[<\"]((QWeb|QtWebKit|QtWebEngine)[^>\"]*)[>\"]"),
                                                 QRegularExpression::MultilineOption);
    static const QRegularExpression engineFolder(QStringLiteral("^\\s*#\\s*include\\s+\"(browser/(webkit|webengine)/[^\"]+)\""),
                                                 QRegularExpression::MultilineOption);
    QStringList violations;
    const QDir rootDir(root);
    QDirIterator it(root, {"*.h", "*.cpp"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = rootDir.relativeFilePath(it.next());
        if (relative.startsWith(QLatin1String("build")) || relative.startsWith(QLatin1String("bench/")))
            continue;
        QFile file(it.filePath());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(file.readAll());
        const bool inEngine = relative.startsWith(QLatin1String("browser/webkit/"))
            || relative.startsWith(QLatin1String("browser/webengine/"));
        auto headers = engineHeader.globalMatch(text);
        while (headers.hasNext() && !inEngine)
            violations << QStringLiteral("%1 -> <%2> (engine headers only in browser/webkit, browser/webengine)")
                              .arg(relative, headers.next().captured(1));
        auto folders = engineFolder.globalMatch(text);
        while (folders.hasNext()) {
            const auto match = folders.next();
            const QString own = QStringLiteral("browser/%1/").arg(match.captured(2));
            if (!relative.startsWith(own) && relative != QLatin1String("browser/webviewfactory.cpp"))
                violations << QStringLiteral("%1 -> \"%2\" (only browser/webviewfactory.cpp picks the engine)")
                                  .arg(relative, match.captured(1));
        }
    }
    return violations;
}

// One line per include that breaks the layering: "zip/a.cpp -> bridge/b.h (zip may use: core)".
QStringList layerViolations(const QString &root)
{
    QHash<QString, QStringList> allowed;
    for (const Layer &layer : layers())
        allowed.insert(QString::fromLatin1(layer.folder), layer.uses);

    static const QRegularExpression include(QStringLiteral("^\\s*#\\s*include\\s+\"([^\"/]+)/[^\"]+\""),
                                            QRegularExpression::MultilineOption);
    QStringList violations;
    const QDir rootDir(root);
    const QStringList folders = rootDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &folder : folders) {
        if (unlayeredFolders().contains(folder) || folder.startsWith(QLatin1String("build")))
            continue;
        QDirIterator it(rootDir.filePath(folder), {"*.h", "*.cpp"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString relative = rootDir.relativeFilePath(path);
            if (!allowed.contains(folder)) {
                violations << relative + QStringLiteral(": folder %1 has no layer").arg(folder);
                continue;
            }
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QString text = QString::fromUtf8(file.readAll());
            auto matches = include.globalMatch(text);
            while (matches.hasNext()) {
                const auto match = matches.next();
                const QString target = match.captured(1);
                if (target == folder || !QFileInfo(rootDir.filePath(target)).isDir()
                    || allowed.value(folder).contains(target))
                    continue;
                const QString includeText = match.captured(0).trimmed();
                violations << QStringLiteral("%1 -> %2 (%3 may use: %4)")
                                  .arg(relative, includeText.mid(includeText.indexOf('"')), folder,
                                       allowed.value(folder).join(QStringLiteral(", ")));
            }
        }
    }
    return violations + engineViolations(root);
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

class TestFolderLayers : public QObject
{
    Q_OBJECT

private slots:
    void tableIsLayered()
    {
        QStringList below;
        for (const Layer &layer : layers()) {
            for (const QString &used : layer.uses)
                QVERIFY2(below.contains(used), qPrintable(QString::fromLatin1(layer.folder) + " uses " + used
                                                          + ", which is not below it"));
            below << QString::fromLatin1(layer.folder);
        }
    }

    void sourceTreeKeepsItsLayers()
    {
        const QString root = qEnvironmentVariable("KAVO_SOURCE_DIR");
        QVERIFY(QFileInfo(root + "/core").isDir());
        const QStringList violations = layerViolations(root);
        QVERIFY2(violations.isEmpty(), qPrintable(violations.join('\n')));
    }

    void brokenTreesAreReported_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");

        QTest::newRow("upward include") << "zip/unzip.cpp" << QByteArray("#include \"bridge/host.h\"\n")
                                        << "zip/unzip.cpp -> \"bridge/host.h\" (zip may use: core)";
        QTest::newRow("include from a higher layer")
            << "browser/view.cpp" << QByteArray("#include \"core/a.h\"\n  #  include \"bridge/b.h\"\n")
            << "browser/view.cpp -> \"bridge/b.h\" (browser may use: core, network)";
        QTest::newRow("lowest layer uses nothing")
            << "core/x.h" << QByteArray("#include \"network/y.h\"\n") << "core/x.h -> \"network/y.h\" (core may use: )";
        QTest::newRow("folder without a layer") << "plugins/p.cpp" << QByteArray("#include \"core/a.h\"\n")
                                                << "plugins/p.cpp: folder plugins has no layer";
        QTest::newRow("engine header outside its folder")
            << "browser/window.cpp" << QByteArray("#include <QWebEnginePage>\n")
            << "browser/window.cpp -> <QWebEnginePage> (engine headers only in browser/webkit, browser/webengine)";
        QTest::newRow("engine header in a test")
            << "tests/t2.cpp" << QByteArray("#include <QWebFrame>\n")
            << "tests/t2.cpp -> <QWebFrame> (engine headers only in browser/webkit, browser/webengine)";
        QTest::newRow("engine folder past the factory")
            << "shell/app.cpp" << QByteArray("#include \"browser/webengine/webengineview.h\"\n")
            << "shell/app.cpp -> \"browser/webengine/webengineview.h\" (only browser/webviewfactory.cpp picks the engine)";
        QTest::newRow("one engine reaching the other")
            << "browser/webkit/v2.cpp" << QByteArray("#include \"browser/webengine/p.h\"\n")
            << "browser/webkit/v2.cpp -> \"browser/webengine/p.h\" (only browser/webviewfactory.cpp picks the engine)";
    }

    void brokenTreesAreReported()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const Layer &layer : layers())
            QDir(dir.path()).mkpath(QString::fromLatin1(layer.folder));
        // Includes that keep the layering, same-folder includes and tests are never reported.
        writeFile(dir.filePath("bridge/ok.cpp"), "#include \"browser/host.h\"\n#include \"ok.h\"\n");
        writeFile(dir.filePath("tests/t.cpp"), "#include \"shell/app.h\"\n");
        writeFile(dir.filePath("browser/webkit/v.cpp"), "#include <QWebView>\n#include \"browser/webkit/v.h\"\n");
        writeFile(dir.filePath("browser/webviewfactory.cpp"), "#include \"browser/webkit/v.h\"\n");
        writeFile(dir.filePath("bench/bare.cpp"), "#include <QWebView>\n");
        QVERIFY(layerViolations(dir.path()).isEmpty());

        writeFile(dir.filePath(file), content);
        QCOMPARE(layerViolations(dir.path()), QStringList{expected});
    }
};

QTEST_GUILESS_MAIN(TestFolderLayers)
#include "tst_folderlayers.moc"
