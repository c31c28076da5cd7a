// A small publisher for the end-to-end tests that drives QZeroConf from commands on
// stdin, one per line, and reports its signals on stdout:
//   start NAME TYPE HOST   publish (TXT "probe=1"); "published" follows on servicePublished
//   stop                   stopServicePublish(); prints "stopped"
//   delete                 destroys the QZeroConf object; prints "deleted"
// Errors print "error N". Ends at end of input.

#include "qzeroconf"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

namespace {

void say(const QByteArray &line)
{
    std::fputs((line + '\n').constData(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    auto *zc = new QZeroConf;
    auto hook = [](QZeroConf *z) {
        QObject::connect(z, &QZeroConf::servicePublished, [] { say("published"); });
        QObject::connect(z, &QZeroConf::error,
                         [](QZeroConf::error_t e) { say("error " + QByteArray::number(e)); });
    };
    hook(zc);
    zc->addServiceTxtRecord(QStringLiteral("probe"), QStringLiteral("1"));

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[512];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);
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
            } else if (words.value(0) == "delete") {
                delete zc;
                zc = nullptr;
                say("deleted");
            }
        }
    });
    return app.exec();
}
