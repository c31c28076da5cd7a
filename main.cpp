// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include <QByteArray>
#include <QCoreApplication>
#include <QDebug>
#include <QString>

#include "zeroConfig/qzeroconf"

int main(int argc, char *argv[])
{
    QCoreApplication a(argc, argv);
    QString name;
    QString printerName;
    QString printerNo;
    QString printerType;
    QString hasPasswd;
    QString type;

    if (argc < 8) {
        qDebug() << "argv 8:servername printerName printerNo printerType hasPasswd type host";
        return -1;
    }

    name = QString::fromUtf8(argv[1]);
    printerName = QString::fromUtf8(argv[2]);
    printerNo = QString::fromUtf8(argv[3]);
    printerType = QString::fromUtf8(argv[4]);
    hasPasswd = QString::fromUtf8(argv[5]);
    type = QString::fromUtf8(argv[6]);
    char *host = argv[7];

    qDebug() << "name=" << name;
    qDebug() << "printerName=" << printerName;
    qDebug() << "printerNo=" << printerNo;
    qDebug() << "printerType=" << printerType;
    qDebug() << "hasPasswd=" << hasPasswd;
    // DNS-SD names are UTF-8 on the wire; Latin-1 would turn "Büro" into "B?ro".
    qDebug() << "type=" << type.toUtf8().constData();
    qDebug() << "host=" << host;

    const quint16 port = 5853;
    QZeroConf zeroConf(nullptr);
    zeroConf.addServiceTxtRecord(QString("printer_name"), printerName);
    zeroConf.addServiceTxtRecord(QString("serial_number"), printerNo);
    zeroConf.addServiceTxtRecord(QString("printer_type"), printerType);
    zeroConf.addServiceTxtRecord(QString("secure"), hasPasswd);
    zeroConf.startServicePublish(name.toUtf8().constData(), type.toUtf8().constData(), host, port);
    qDebug() << "startServicePublish success" << printerName;

    a.exec();

    if (zeroConf.publishExists())
        zeroConf.stopServicePublish();
    qDebug() << "out";

    return a.exec();
}
