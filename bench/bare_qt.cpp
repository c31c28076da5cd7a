// The memory baseline for lanbeacon: a Qt Core + Network program that does no more
// than any networked Qt program does (an application object, a bound UDP socket, the
// event loop), so that lanbeacon's peak memory above it is the component's own cost.

#include <QCoreApplication>
#include <QNetworkInterface>
#include <QUdpSocket>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QUdpSocket socket;
    socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    const auto interfaces = QNetworkInterface::allInterfaces();
    Q_UNUSED(interfaces)
    return app.exec();
}
