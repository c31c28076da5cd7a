// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// The memory baseline for lanbeacon: a Qt Core + Network program that does no more
// than any networked Qt program does (an application object, a bound UDP socket, the
// event loop) plus what lanbeacon's own code does besides calling the component: it
// writes its diagnostic lines through qDebug(), which alone brings in a good megabyte of
// Qt's logging code. So lanbeacon's peak memory above this is the component's own cost.

#include <QCoreApplication>
#include <QDebug>
#include <QNetworkInterface>
#include <QUdpSocket>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QUdpSocket socket;
    socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    const auto interfaces = QNetworkInterface::allInterfaces();
    Q_UNUSED(interfaces)
    const QString name = QString::fromUtf8(argv[0]);
    qDebug() << "name=" << name;
    qDebug() << "type=" << name.toLatin1().constData();
    return app.exec();
}
