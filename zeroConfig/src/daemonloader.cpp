#include "daemonloader_p.h"

#include <QFileInfo>
#include <QLibrary>
#include <QStringList>

#include <dlfcn.h>
#include <sys/stat.h>

namespace QZeroConfInternal {

namespace {

bool isSocket(const QByteArray &path)
{
    struct stat st;
    return ::stat(path.constData(), &st) == 0 && S_ISSOCK(st.st_mode);
}

} // namespace

bool systemBusExists(QString *where)
{
    const QByteArray env = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (env.isEmpty()) {
        for (const char *path :
             {"/run/dbus/system_bus_socket", "/var/run/dbus/system_bus_socket"}) {
            *where = QString::fromLatin1(path);
            if (isSocket(path))
                return true;
        }
        return false;
    }
    // A list of "transport:key=value,..." separated by ';', values percent-escaped.
    *where = QString::fromLocal8Bit(env);
    for (const QByteArray &address : env.split(';')) {
        const int colon = address.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray transport = address.left(colon);
        if (transport != "unix")
            return true; // tcp and the like: nothing local to look at
        for (const QByteArray &pair : address.mid(colon + 1).split(',')) {
            if (pair.startsWith("abstract=") || pair.startsWith("runtime="))
                return true;
            if (pair.startsWith("path=")) {
                const QByteArray path = QByteArray::fromPercentEncoding(pair.mid(5));
                *where = QString::fromLocal8Bit(path);
                if (isSocket(path))
                    return true;
            }
        }
    }
    return false;
}

#ifndef QZEROCONF_DAEMON_MODULE

std::unique_ptr<Engine> loadDaemonEngine(QString *why)
{
    *why = QStringLiteral("built without the daemon backend");
    return nullptr;
}

#else

std::unique_ptr<Engine> loadDaemonEngine(QString *why)
{
    QString bus;
    if (!systemBusExists(&bus)) {
        *why = QStringLiteral("no system bus at %1").arg(bus);
        return nullptr;
    }
    const QString module = QStringLiteral(QZEROCONF_DAEMON_MODULE);
    QStringList candidates;
    Dl_info self;
    if (::dladdr(reinterpret_cast<void *>(&loadDaemonEngine), &self) && self.dli_fname)
        candidates << QFileInfo(QString::fromLocal8Bit(self.dli_fname)).absolutePath() +
                          QLatin1Char('/') + module;
    candidates << QStringLiteral(QZEROCONF_INSTALL_LIBDIR "/") + module;
    candidates.removeDuplicates();

    QStringList problems;
    for (const QString &path : qAsConst(candidates)) {
        if (!QFileInfo::exists(path))
            continue;
        QLibrary library(path);
        // QtDBus does not like to be unloaded; neither do engines still in use.
        library.setLoadHints(QLibrary::PreventUnloadHint);
        if (!library.load()) {
            problems << library.errorString();
            continue;
        }
        auto factory =
            reinterpret_cast<NewDaemonEngine>(library.resolve(QZEROCONF_DAEMON_ENGINE_FACTORY));
        if (!factory) {
            problems << QStringLiteral("%1 has no %2")
                            .arg(path, QLatin1String(QZEROCONF_DAEMON_ENGINE_FACTORY));
            continue;
        }
        if (Engine *engine = factory(EngineInterfaceVersion))
            return std::unique_ptr<Engine>(engine);
        problems << QStringLiteral("%1 was built for another version of the component").arg(path);
    }
    if (problems.isEmpty())
        *why = QStringLiteral("the daemon backend is not installed (%1)")
                   .arg(candidates.join(QStringLiteral(", ")));
    else
        *why = problems.join(QStringLiteral("; "));
    return nullptr;
}

#endif

} // namespace QZeroConfInternal
