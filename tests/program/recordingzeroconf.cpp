// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// A stand-in for the zero-configuration component that records every call the program
// makes, so that the program's own behaviour can be checked without a network.
//
// Environment:
//   LANBEACON_RECORD      file that receives one line per call, fields separated by
//                         tabs, every byte string percent-encoded
//   LANBEACON_LOOP_EXITS  comma-separated codes; each running event loop is ended with
//                         the next one (default "0,0")
//   LANBEACON_REFUSE      when set, the publish request is refused: no publication is
//                         held and error(serviceRegistrationFailed) follows

#include "qzeroconf"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

class QZeroConfPrivate
{
public:
    bool published = false;
    QList<int> loopExits;
    QTimer loopEnder;
};

namespace {

QByteArray field(const QByteArray &bytes)
{
    return bytes.toPercentEncoding(" ");
}

void record(const QList<QByteArray> &fields)
{
    QFile file(QString::fromLocal8Bit(qgetenv("LANBEACON_RECORD")));
    if (file.fileName().isEmpty() || !file.open(QIODevice::Append))
        qFatal("recording double: LANBEACON_RECORD is not a writable file");
    QByteArray line;
    for (const QByteArray &f : fields)
        line += (line.isEmpty() ? "" : "\t") + f;
    file.write(line + '\n');
}

} // namespace

QZeroConf::QZeroConf(QObject *parent) : QObject(parent), d_ptr(new QZeroConfPrivate)
{
    Q_D(QZeroConf);
    record({"construct", parent ? "parent" : "null"});

    QByteArray exits = qgetenv("LANBEACON_LOOP_EXITS");
    if (exits.isEmpty())
        exits = "0,0";
    for (const QByteArray &code : exits.split(','))
        d->loopExits.append(code.toInt());
    // Fires only while an event loop runs, so it ends each loop once, in turn.
    d->loopEnder.setInterval(20);
    QObject::connect(&d->loopEnder, &QTimer::timeout, this, [d] {
        if (d->loopExits.isEmpty())
            return;
        const int code = d->loopExits.takeFirst();
        record({"loopExit", QByteArray::number(code)});
        QCoreApplication::exit(code);
    });
    d->loopEnder.start();
}

QZeroConf::~QZeroConf()
{
    record({"destroy"});
}

void QZeroConf::startServicePublish(const char *name, const char *type, const char *host,
                                    quint16 port)
{
    Q_D(QZeroConf);
    record(
        {"startServicePublish", field(name), field(type), field(host), QByteArray::number(port)});
    if (qEnvironmentVariableIsSet("LANBEACON_REFUSE")) {
        QTimer::singleShot(0, this, [this] { emit error(serviceRegistrationFailed); });
        return;
    }
    d->published = true;
}

void QZeroConf::stopServicePublish()
{
    Q_D(QZeroConf);
    record({"stopServicePublish"});
    d->published = false;
}

bool QZeroConf::publishExists() const
{
    Q_D(const QZeroConf);
    record({"publishExists", d->published ? "true" : "false"});
    return d->published;
}

void QZeroConf::addServiceTxtRecord(QString nameOnly)
{
    record({"addServiceTxtRecord", field(nameOnly.toUtf8())});
}

void QZeroConf::addServiceTxtRecord(QString name, QString value)
{
    record({"addServiceTxtRecord", field(name.toUtf8()), field(value.toUtf8())});
}

void QZeroConf::clearServiceTxtRecords()
{
    record({"clearServiceTxtRecords"});
}
