#include "shell/singleinstance.h"

#include <QProcess>
#include <QtTest>

#include <csignal>

class tst_SingleInstance : public QObject
{
    Q_OBJECT

    QString m_key = QStringLiteral("Kavo.Test.%1").arg(QCoreApplication::applicationPid());

    QProcess *startHolder()
    {
        auto *holder = new QProcess(this);
        holder->start(QCoreApplication::applicationDirPath() + QStringLiteral("/singleinstance_holder"), {m_key});
        if (!holder->waitForStarted() || !holder->waitForReadyRead(10000))
            return nullptr;
        return holder;
    }

private slots:
    void liveHolderBlocksOthers()
    {
        QProcess *holder = startHolder();
        QVERIFY(holder);
        QCOMPARE(holder->readLine().trimmed().toInt(), int(SingleInstance::Acquired));
        SingleInstance second;
        QCOMPARE(second.acquire(m_key), SingleInstance::AlreadyRunning);
        holder->terminate();
        QVERIFY(holder->waitForFinished(5000));
    }

    void segmentOfKilledHolderIsCleared()
    {
        QProcess *holder = startHolder();
        QVERIFY(holder);
        QCOMPARE(holder->readLine().trimmed().toInt(), int(SingleInstance::Acquired));
        ::kill(pid_t(holder->processId()), SIGKILL);
        QVERIFY(holder->waitForFinished(5000));
        SingleInstance next;
        QCOMPARE(next.acquire(m_key), SingleInstance::Acquired);
        SingleInstance third;
        QCOMPARE(third.acquire(m_key), SingleInstance::AlreadyRunning);
    }
};

QTEST_MAIN(tst_SingleInstance)
#include "tst_singleinstance.moc"
