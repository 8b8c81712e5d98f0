#include "core/fileversion.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_FileVersion : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    static QString builtProgram(const QString &name)
    {
        return qEnvironmentVariable("KAVO_BIN_DIR") + QLatin1Char('/') + name;
    }

    // Re-stamps a copy the way update packages are made.
    QString stampedCopy(const QString &source, const QByteArray &version)
    {
        const QString copy = m_dir.filePath(QStringLiteral("copy-") + QString::fromLatin1(version));
        QFile::remove(copy);
        if (!QFile::copy(source, copy))
            return QString();
        QByteArray field = version;
        field.append(QByteArray(64 - field.size(), '\0'));
        const QString fieldFile = m_dir.filePath(QStringLiteral("field"));
        QFile out(fieldFile);
        if (!out.open(QIODevice::WriteOnly))
            return QString();
        out.write(field);
        out.close();
        const int rc = QProcess::execute(
            QStringLiteral("objcopy"),
            {QStringLiteral("--update-section"), QStringLiteral(".kavo_version=") + fieldFile, copy});
        return rc == 0 ? copy : QString();
    }

private slots:
    void builtProgramsCarryProjectVersion_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("updater") << "Kavo.Update";
        QTest::newRow("main") << "Kavo.V5";
    }

    void builtProgramsCarryProjectVersion()
    {
        QFETCH(QString, program);
        QCOMPARE(fileVersion(builtProgram(program)), QStringLiteral(KAVO_EXPECTED_VERSION));
    }

    void stampedCopyReportsNewVersion()
    {
        const QString original = builtProgram(QStringLiteral("Kavo.Update"));
        const QString copy = stampedCopy(original, "5.2.0.1");
        QVERIFY(!copy.isEmpty());
        QCOMPARE(fileVersion(copy), QStringLiteral("5.2.0.1"));
        QCOMPARE(fileVersion(original), QStringLiteral(KAVO_EXPECTED_VERSION));
    }

    void unstampedFilesGiveEmpty_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("system program") << "/bin/sh" << QByteArray();
        QTest::newRow("missing file") << "/nonexistent/Kavo.V5" << QByteArray();
        QTest::newRow("text file") << "text" << QByteArray("hello world, not an executable");
        QTest::newRow("truncated elf") << "truncated"
                                       << QByteArray("\x7f"
                                                     "ELF\x02\x01\x01",
                                                     7);
    }

    void unstampedFilesGiveEmpty()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, contents);
        QString file = path;
        if (!contents.isEmpty()) {
            file = m_dir.filePath(path);
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(contents);
        }
        QCOMPARE(fileVersion(file), QString());
    }

    void garbageStampGivesEmpty()
    {
        const QString copy = stampedCopy(builtProgram(QStringLiteral("Kavo.Update")), "not-a-version");
        QVERIFY(!copy.isEmpty());
        QCOMPARE(fileVersion(copy), QString());
    }
};

QTEST_MAIN(tst_FileVersion)
#include "tst_fileversion.moc"
