#include "daemon_p.h"

#include "../logging_p.h"
#include "daemonbrowser_p.h"
#include "daemonpublisher_p.h"
#include "engine_p.h"
#include "qtavahipoll_p.h"

#include <avahi-common/error.h>

namespace QZeroConfInternal {

namespace {

constexpr int ReconnectMs = 1000;

} // namespace

QString probeDaemon(QString *why)
{
    // The call is short and local: a few round trips on the system bus, or a failed
    // connect() when there is none.
    QtAvahiPoll poll;
    int error = 0;
    AvahiClient *client =
        avahi_client_new(poll.api(), AvahiClientFlags(0), nullptr, nullptr, &error);
    if (!client) {
        *why = avahiError(error);
        return QString();
    }
    QString version;
    if (avahi_client_get_state(client) == AVAHI_CLIENT_FAILURE)
        *why = avahiError(avahi_client_errno(client));
    else if (const char *v = avahi_client_get_version_string(client))
        version = QString::fromUtf8(v);
    else
        version = QStringLiteral("(unknown version)");
    avahi_client_free(client);
    return version;
}

std::unique_ptr<Publisher> newDaemonPublisher(const PublishRequest &request)
{
    return std::unique_ptr<Publisher>(new DaemonPublisher(request));
}

std::unique_ptr<Browser> newDaemonBrowser(const QByteArray &type, int avahiProtocol)
{
    return std::unique_ptr<Browser>(new DaemonBrowser(type, AvahiProtocol(avahiProtocol)));
}

DaemonConnection::DaemonConnection(QObject *parent) : QObject(parent)
{
    m_reconnect.setInterval(ReconnectMs);
    connect(&m_reconnect, &QTimer::timeout, this, [this] {
        QString error;
        if (open(&error))
            m_reconnect.stop();
    });
    m_grace.setSingleShot(true);
    m_grace.setInterval(DaemonGraceMs);
    connect(&m_grace, &QTimer::timeout, this, [this] {
        m_reconnect.stop();
        emit gone();
    });
}

DaemonConnection::~DaemonConnection()
{
    if (m_client)
        avahi_client_free(m_client);
    m_client = nullptr;
    m_poll.reset();
}

bool DaemonConnection::open(QString *error)
{
    if (!m_poll)
        m_poll.reset(new QtAvahiPoll);
    int err = 0;
    // NO_FAIL: a daemon that is not there (yet) is waited for, not an error.
    m_client = avahi_client_new(m_poll->api(), AVAHI_CLIENT_NO_FAIL, clientCallback, this, &err);
    if (!m_client) {
        *error = QStringLiteral("the mDNS daemon cannot be reached: %1").arg(avahiError(err));
        return false;
    }
    // The first state came from inside avahi_client_new(); look at it from the loop.
    QTimer::singleShot(0, this, &DaemonConnection::changed);
    return true;
}

bool DaemonConnection::isRunning() const
{
    return m_client && avahi_client_get_state(m_client) == AVAHI_CLIENT_S_RUNNING;
}

void DaemonConnection::clientCallback(AvahiClient *, AvahiClientState, void *userdata)
{
    auto *self = static_cast<DaemonConnection *>(userdata);
    QTimer::singleShot(0, self, &DaemonConnection::changed);
}

void DaemonConnection::changed()
{
    if (!m_client)
        return;
    switch (avahi_client_get_state(m_client)) {
    case AVAHI_CLIENT_S_RUNNING:
        if (m_away) {
            m_away = false;
            m_grace.stop();
            emit back();
        }
        emit running();
        break;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
        emit hostChanging();
        break;
    case AVAHI_CLIENT_CONNECTING:
        goAway();
        break;
    case AVAHI_CLIENT_FAILURE:
        // The bus connection broke: this client is done for; a new one has to wait.
        qCDebug(lcZeroConf) << "mDNS daemon connection failed:"
                            << avahiError(avahi_client_errno(m_client));
        goAway();
        avahi_client_free(m_client);
        m_client = nullptr;
        m_reconnect.start();
        break;
    }
}

void DaemonConnection::goAway()
{
    if (m_away)
        return;
    qCDebug(lcZeroConf) << "the mDNS daemon went away; waiting for it";
    m_away = true;
    m_grace.start();
    emit away();
}

} // namespace QZeroConfInternal
