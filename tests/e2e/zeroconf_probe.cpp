// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// A small publisher for the end-to-end tests that drives QZeroConf from commands on
// stdin, one per line, and reports its signals on stdout:
//   start NAME TYPE HOST   publish (TXT "probe=1"); "published" follows on servicePublished
//   stop                   stopServicePublish(); prints "stopped"
//   delete                 destroys the QZeroConf object; prints "deleted"
//   timed stop|delete      the same; prints "stop took N ms" or "delete took N ms"
//   browse TYPE PROTOCOL   startBrowser(TYPE, 4 | 6 | any); then one JSON line per
//                          serviceAdded, serviceUpdated and serviceRemoved
//   stopbrowse             stopBrowser(); prints "browsing stopped"
//   domains D ...          setBrowseDomains(); "domains off": setWideAreaBrowsing(false)
//   gap                    prints {"event": "gap", "ms": N}: the event loop's longest turn since
//   publish NAME TYPE HOST another object publishes NAME; "published NAME" follows
//   many N PREFIX TYPE HOST N more objects publish "PREFIX 1" to "PREFIX N", all in
//                          one turn of the event loop
//   drop NAME              destroys the object that publishes NAME; prints "dropped NAME"
//   txt K=V ...            the TXT entries of the objects that publish from now on
//                          (instead of "probe=1")
//   also TYPE PORT         addServiceType() on the first object
//   iface NAME             setNetworkInterfaces() on the first object: only NAME
//   retxt K=V ...          the first object's TXT entries become these, sent at once by
//                          updateServiceTxtRecords(); prints "txt sent"
//   name | why             prints "name " + publishedName(), or "why " + errorString()
//   handle SIGNO           installs a handler of the application's own for SIGNO, which
//                          prints "handled SIGNO" each time
//   block MS               prints "blocking", then keeps the event loop from running
//   thread NAME TYPE HOST  publishes from an object of a worker thread of its own;
//                          "published on thread" follows
//   endthread              stops that, destroys the object and ends the thread; prints
//                          "thread ended"
//   fork                   forks a child that only waits for signals; prints "child PID",
//                          then "child ended by signal N" or "child exited N"
// Errors print "error N". Ends at end of input.

#include "qzeroconf"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSocketNotifier>
#include <QTimer>

#include <QElapsedTimer>
#include <QThread>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

void say(const QByteArray &line)
{
    std::fputs((line + '\n').constData(), stdout);
    std::fflush(stdout);
}

void report(const char *event, const QZeroConfService &s)
{
    QJsonObject txt;
    const auto entries = s->txt();
    for (auto it = entries.begin(); it != entries.end(); ++it)
        txt.insert(QString::fromUtf8(it.key()), QString::fromUtf8(it.value()));
    const QJsonObject o{{QStringLiteral("event"), QString::fromLatin1(event)},
                        {QStringLiteral("name"), s->name()},
                        {QStringLiteral("type"), s->type()},
                        {QStringLiteral("domain"), s->domain()},
                        {QStringLiteral("host"), s->host()},
                        {QStringLiteral("ip"), s->ip().toString()},
                        {QStringLiteral("interface"), qint64(s->interfaceIndex())},
                        {QStringLiteral("port"), s->port()},
                        {QStringLiteral("txt"), txt}};
    say(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

void applicationHandler(int signo)
{
    // No stdio in a handler.
    char line[16] = "handled ";
    int n = 8;
    if (signo >= 10)
        line[n++] = char('0' + signo / 10);
    line[n++] = char('0' + signo % 10);
    line[n++] = '\n';
    const ssize_t written = write(STDOUT_FILENO, line, size_t(n));
    (void)written;
}

// Signals interrupt sleeps; the loop stays blocked for the whole time regardless.
void blockFor(int ms)
{
    QElapsedTimer timer;
    timer.start();
    for (qint64 left = ms; left > 0; left = ms - timer.elapsed())
        usleep(useconds_t(left * 1000));
}

void forkIdleChild()
{
    const pid_t child = fork();
    if (child == 0) {
        for (;;)
            pause();
    }
    say("child " + QByteArray::number(child));
    std::thread([child] {
        int status = 0;
        waitpid(child, &status, 0);
        say(WIFSIGNALED(status) ? "child ended by signal " + QByteArray::number(WTERMSIG(status))
                                : "child exited " + QByteArray::number(WEXITSTATUS(status)));
    }).detach();
}

// A worker thread with a QZeroConf object of its own, which publishes. Nothing is posted
// to it but quit(): Qt is not built with ThreadSanitizer, which would not see a functor
// handed over.
class Worker : public QThread
{
public:
    Worker(const QByteArray &name, const QByteArray &type, const QByteArray &host)
        : m_name(name), m_type(type), m_host(host)
    {
        start();
    }

    // Stops the publication, destroys the object and ends the thread.
    ~Worker() override
    {
        quit();
        wait();
        std::unique_lock<std::mutex> lock(m_mutex); // what QThread::wait() does not show
        m_done.wait(lock, [this] { return m_ended; });
    }

protected:
    void run() override
    {
        auto *zc = new QZeroConf;
        QObject::connect(zc, &QZeroConf::servicePublished, [] { say("published on thread"); });
        QObject::connect(zc, &QZeroConf::error,
                         [](QZeroConf::error_t e) { say("error " + QByteArray::number(e)); });
        zc->addServiceTxtRecord(QStringLiteral("probe"), QStringLiteral("1"));
        zc->startServicePublish(m_name.constData(), m_type.constData(), m_host.constData(), 5853);
        exec();
        zc->stopServicePublish();
        delete zc;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        m_done.notify_all();
    }

private:
    const QByteArray m_name, m_type, m_host;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_ended = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    auto *zc = new QZeroConf;
    auto hook = [](QZeroConf *z) {
        QObject::connect(z, &QZeroConf::servicePublished, [] { say("published"); });
        QObject::connect(z, &QZeroConf::error,
                         [](QZeroConf::error_t e) { say("error " + QByteArray::number(e)); });
        QObject::connect(z, &QZeroConf::serviceAdded,
                         [](QZeroConfService s) { report("added", s); });
        QObject::connect(z, &QZeroConf::serviceUpdated,
                         [](QZeroConfService s) { report("updated", s); });
        QObject::connect(z, &QZeroConf::serviceRemoved,
                         [](QZeroConfService s) { report("removed", s); });
    };
    hook(zc);
    zc->addServiceTxtRecord(QStringLiteral("probe"), QStringLiteral("1"));

    // A timer every 10 ms: a late one tells how long the event loop was held up.
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestGap = qMax(longestGap, sinceTick.restart()); });
    sinceTick.start();
    ticker.start(10);

    // The other objects, by the name they were asked to publish.
    QMap<QByteArray, QZeroConf *> others;
    QList<QByteArray> othersTxt{"probe=1"};
    auto publishAnother = [&](const QByteArray &name, const QByteArray &type,
                              const QByteArray &host) {
        auto *z = new QZeroConf;
        QObject::connect(z, &QZeroConf::servicePublished, [name] { say("published " + name); });
        QObject::connect(z, &QZeroConf::error, [name](QZeroConf::error_t e) {
            say("error " + QByteArray::number(e) + " " + name);
        });
        for (const QByteArray &entry : othersTxt)
            z->addServiceTxtRecord(QString::fromUtf8(entry.left(entry.indexOf('='))),
                                   QString::fromUtf8(entry.mid(entry.indexOf('=') + 1)));
        z->startServicePublish(name.constData(), type.constData(), host.constData(), 5853);
        others.insert(name, z);
    };

    std::unique_ptr<Worker> worker;
    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[512];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);
            qDeleteAll(others);
            delete zc;
            QCoreApplication::quit();
            return;
        }
        pending.append(buf, int(n));
        int eol;
        while ((eol = pending.indexOf('\n')) >= 0) {
            const QList<QByteArray> words = pending.left(eol).split('\t');
            pending.remove(0, eol + 1);
            if (words.value(0) == "start" && words.size() == 4) {
                if (!zc) {
                    zc = new QZeroConf;
                    hook(zc);
                }
                zc->startServicePublish(words[1].constData(), words[2].constData(),
                                        words[3].constData(), 5853);
            } else if (words.value(0) == "stop" && zc) {
                zc->stopServicePublish();
                say("stopped");
            } else if (words.value(0) == "browse" && words.size() == 3 && zc) {
                const QByteArray p = words[2];
                zc->startBrowser(QString::fromUtf8(words[1]),
                                 p == "4"   ? QAbstractSocket::IPv4Protocol
                                 : p == "6" ? QAbstractSocket::IPv6Protocol
                                            : QAbstractSocket::AnyIPProtocol);
            } else if (words.value(0) == "stopbrowse" && zc) {
                zc->stopBrowser();
                say("browsing stopped");
            } else if (words.value(0) == "domains") {
                QStringList domains;
                for (const QByteArray &d : words.mid(1))
                    domains.append(QString::fromUtf8(d));
                if (domains == QStringList{QStringLiteral("off")})
                    zc->setWideAreaBrowsing(false);
                else
                    zc->setBrowseDomains(domains);
            } else if (words.value(0) == "gap") {
                say("{\"event\":\"gap\",\"ms\":" + QByteArray::number(longestGap) + '}');
                longestGap = 0;
            } else if (words.value(0) == "publish" && words.size() == 4) {
                publishAnother(words[1], words[2], words[3]);
            } else if (words.value(0) == "many" && words.size() == 5) {
                for (int i = 1; i <= words[1].toInt(); ++i)
                    publishAnother(words[2] + ' ' + QByteArray::number(i), words[3], words[4]);
            } else if (words.value(0) == "txt") {
                othersTxt = words.mid(1);
            } else if (words.value(0) == "also" && words.size() == 3 && zc) {
                zc->addServiceType(words[1].constData(), quint16(words[2].toUInt()));
            } else if (words.value(0) == "iface" && words.size() == 2 && zc) {
                zc->setNetworkInterfaces(
                    {QNetworkInterface::interfaceFromName(QString::fromUtf8(words[1]))});
            } else if (words.value(0) == "retxt" && zc) {
                zc->clearServiceTxtRecords();
                for (const QByteArray &entry : words.mid(1))
                    zc->addServiceTxtRecord(QString::fromUtf8(entry.left(entry.indexOf('='))),
                                            QString::fromUtf8(entry.mid(entry.indexOf('=') + 1)));
                zc->updateServiceTxtRecords();
                say("txt sent");
            } else if (words.value(0) == "name" && zc) {
                say("name " + zc->publishedName().toUtf8());
            } else if (words.value(0) == "why" && zc) {
                say("why " + zc->errorString().toUtf8());
            } else if (words.value(0) == "drop" && words.size() == 2) {
                delete others.take(words[1]);
                say("dropped " + words[1]);
            } else if (words.value(0) == "handle" && words.size() == 2) {
                signal(words[1].toInt(), applicationHandler);
            } else if (words.value(0) == "block" && words.size() == 2) {
                say("blocking");
                blockFor(words[1].toInt());
            } else if (words.value(0) == "thread" && words.size() == 4 && !worker) {
                worker.reset(new Worker(words[1], words[2], words[3]));
            } else if (words.value(0) == "endthread" && worker) {
                worker.reset();
                say("thread ended");
            } else if (words.value(0) == "fork") {
                forkIdleChild();
            } else if (words.value(0) == "timed" && words.size() == 2 && zc) {
                QElapsedTimer took;
                took.start();
                if (words[1] == "stop") {
                    zc->stopServicePublish();
                } else {
                    delete zc;
                    zc = nullptr;
                }
                say(words[1] + " took " + QByteArray::number(took.elapsed()) + " ms");
            } else if (words.value(0) == "delete") {
                delete zc;
                zc = nullptr;
                say("deleted");
            }
        }
    });
    return app.exec();
}
