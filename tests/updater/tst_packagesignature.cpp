#include "updater/packagesignature.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Package signatures against keys made and packages signed with the openssl command line, as
// scripts/make-update-package.sh makes and signs them.
class tst_PackageSignature : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_key;      // UpdatePublicKey of the signing key
    QString m_otherKey; // of a key that signed nothing here
    QByteArray m_signature;

    QString file(const QString &name) const { return m_dir.filePath(name); }

    static QByteArray run(const QString &program, const QStringList &args)
    {
        QProcess p;
        p.start(program, args);
        if (!p.waitForFinished(30000) || p.exitCode() != 0)
            return QByteArray();
        return p.readAllStandardOutput();
    }

    // The script's key generation: a private key file, and the qt.conf line on standard output.
    QString newKey(const QString &name)
    {
        const QByteArray out = run(qEnvironmentVariable("KAVO_SOURCE_DIR") + QStringLiteral("/scripts/make-update-package.sh"),
                                   {QStringLiteral("--new-key"), file(name)});
        for (const QByteArray &line : out.split('\n')) {
            if (line.startsWith("UpdatePublicKey="))
                return QString::fromLatin1(line.mid(16));
        }
        return QString();
    }

    QByteArray sign(const QString &key, const QString &package)
    {
        return run(QStringLiteral("openssl"), {QStringLiteral("pkeyutl"), QStringLiteral("-sign"), QStringLiteral("-inkey"),
                                               file(key), QStringLiteral("-rawin"), QStringLiteral("-in"), package})
            .toBase64();
    }

    static void write(const QString &path, const QByteArray &data)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(data), qint64(data.size()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_key = newKey(QStringLiteral("signing.pem"));
        m_otherKey = newKey(QStringLiteral("other.pem"));
        QCOMPARE(PackageSignature::decodePublicKey(m_key).size(), 32);
        QVERIFY(m_key != m_otherKey);
        QByteArray package;
        for (int i = 0; i < 300000; ++i)
            package += char(i * 7 + i / 251);
        write(file(QStringLiteral("pkg.zip")), package);
        package[123457] = char(package[123457] ^ 0x01);
        write(file(QStringLiteral("tampered.zip")), package);
        write(file(QStringLiteral("empty.zip")), QByteArray());
        m_signature = sign(QStringLiteral("signing.pem"), file(QStringLiteral("pkg.zip")));
        QVERIFY(!m_signature.isEmpty());
    }

    void verify_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("result");
        const QByteArray raw = QByteArray::fromBase64(m_signature);
        QByteArray flipped = raw;
        flipped[10] = char(flipped[10] ^ 0x80);
        QTest::newRow("right key") << "pkg.zip" << m_signature << m_key << int(PackageSignature::Valid);
        QTest::newRow("line end and blanks around it")
            << "pkg.zip" << QByteArray("  " + m_signature + "\r\n") << m_key << int(PackageSignature::Valid);
        QTest::newRow("other key") << "pkg.zip" << m_signature << m_otherKey << int(PackageSignature::Mismatch);
        QTest::newRow("tampered byte") << "tampered.zip" << m_signature << m_key << int(PackageSignature::Mismatch);
        QTest::newRow("signature changed") << "pkg.zip" << flipped.toBase64() << m_key << int(PackageSignature::Mismatch);
        QTest::newRow("empty package, other file's signature")
            << "empty.zip" << m_signature << m_key << int(PackageSignature::Mismatch);
        QTest::newRow("missing signature") << "pkg.zip" << QByteArray() << m_key << int(PackageSignature::MissingSignature);
        QTest::newRow("blank signature") << "pkg.zip" << QByteArray(" \n") << m_key
                                         << int(PackageSignature::MissingSignature);
        QTest::newRow("signature not base64") << "pkg.zip" << QByteArray("<html>404</html>") << m_key
                                              << int(PackageSignature::MalformedSignature);
        QTest::newRow("signature one byte short")
            << "pkg.zip" << raw.left(63).toBase64() << m_key << int(PackageSignature::MalformedSignature);
        QTest::newRow("signature one byte long")
            << "pkg.zip" << (raw + 'x').toBase64() << m_key << int(PackageSignature::MalformedSignature);
        QTest::newRow("two signatures on two lines")
            << "pkg.zip" << QByteArray(m_signature + '\n' + m_signature) << m_key
            << int(PackageSignature::MalformedSignature);
        QTest::newRow("oversized signature text")
            << "pkg.zip" << QByteArray(PackageSignature::MaxSignatureText + 1, 'A') << m_key
            << int(PackageSignature::MalformedSignature);
        QTest::newRow("signature padded beyond the bound")
            << "pkg.zip" << QByteArray(m_signature + QByteArray(PackageSignature::MaxSignatureText, ' ')) << m_key
            << int(PackageSignature::MalformedSignature);
        QTest::newRow("key not base64") << "pkg.zip" << m_signature << "not a key!" << int(PackageSignature::InvalidKey);
        QTest::newRow("key of 31 bytes") << "pkg.zip" << m_signature
                                         << QString::fromLatin1(QByteArray::fromBase64(m_key.toLatin1()).left(31).toBase64())
                                         << int(PackageSignature::InvalidKey);
        QTest::newRow("key as PEM text") << "pkg.zip" << m_signature
                                         << QString::fromLatin1(run(QStringLiteral("openssl"),
                                                                    {QStringLiteral("pkey"), QStringLiteral("-in"),
                                                                     file(QStringLiteral("signing.pem")),
                                                                     QStringLiteral("-pubout")}))
                                         << int(PackageSignature::InvalidKey);
        QTest::newRow("empty key") << "pkg.zip" << m_signature << "" << int(PackageSignature::InvalidKey);
        QTest::newRow("package missing") << "gone.zip" << m_signature << m_key << int(PackageSignature::UnreadablePackage);
    }

    void verify()
    {
        QFETCH(QString, package);
        QFETCH(QByteArray, signature);
        QFETCH(QString, key);
        QFETCH(int, result);
        const PackageSignature::Result got = PackageSignature::verify(file(package), signature, key);
        QVERIFY2(int(got) == result, qPrintable(PackageSignature::describe(got)));
    }

    // The openssl command line agrees: what it accepts is accepted here, and the other way round.
    void scriptKeyMatchesOpenssl()
    {
        const QByteArray der = run(QStringLiteral("openssl"), {QStringLiteral("pkey"), QStringLiteral("-in"),
                                                               file(QStringLiteral("signing.pem")), QStringLiteral("-pubout"),
                                                               QStringLiteral("-outform"), QStringLiteral("DER")});
        QCOMPARE(der.size(), 44);
        QCOMPARE(der.right(32), PackageSignature::decodePublicKey(m_key));
    }
};

QTEST_MAIN(tst_PackageSignature)
#include "tst_packagesignature.moc"
