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
    return violations;
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
        QVERIFY(layerViolations(dir.path()).isEmpty());

        writeFile(dir.filePath(file), content);
        QCOMPARE(layerViolations(dir.path()), QStringList{expected});
    }
};

QTEST_GUILESS_MAIN(TestFolderLayers)
#include "tst_folderlayers.moc"
