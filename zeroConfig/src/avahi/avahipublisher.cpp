#include "avahipublisher_p.h"

#include "../logging_p.h"
#include "engine_p.h"
#include "qtavahipoll_p.h"

#include <avahi-common/error.h>

using namespace QZeroConfInternal;

AvahiPublisher::AvahiPublisher(const PublishRequest &request, QObject *parent)
    : Publisher(request, parent)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &AvahiPublisher::publish);
}

AvahiPublisher::~AvahiPublisher()
{
    if (m_server)
        avahi_server_free(m_server); // frees m_group and flushes the goodbyes
    m_server = nullptr;
    m_group = nullptr;
    m_poll.reset();
}

bool AvahiPublisher::start(QString *error)
{
    m_poll.reset(new QtAvahiPoll);
    m_server =
        newAvahiServer(m_poll->api(), m_request.hostLabel, true, serverCallback, this, error);
    if (!m_server) {
        m_poll.reset();
        return false;
    }
    *error = publishNow();
    return error->isEmpty();
}

void AvahiPublisher::publish()
{
    if (m_failed || !m_server)
        return;
    const QString error = publishNow();
    if (!error.isEmpty())
        fail(error);
}

// (Re)builds the group with the current instance name and the server's current host
// name as SRV target, and commits it. Returns the reason when that fails.
QString AvahiPublisher::publishNow()
{
    if (m_group) {
        avahi_s_entry_group_reset(m_group);
    } else {
        m_group = avahi_s_entry_group_new(m_server, groupCallback, this);
        if (!m_group)
            return avahiError(avahi_server_errno(m_server));
    }

    AvahiStringList *txt = newTxtList();
    int r = avahi_server_add_service_strlst(m_server, m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                            AvahiPublishFlags(0), m_request.name.constData(),
                                            m_request.type.constData(), nullptr, nullptr,
                                            m_request.port, txt);
    avahi_string_list_free(txt);
    if (r == AVAHI_ERR_COLLISION) { // the name is in use by another group of this responder
        serviceNameTaken();
        return QString();
    }
    if (r >= 0)
        r = avahi_s_entry_group_commit(m_group);
    if (r < 0)
        return avahiError(r);
    watchRegistration();
    return QString();
}

void AvahiPublisher::serverCallback(AvahiServer *server, AvahiServerState state, void *userdata)
{
    auto *self = static_cast<AvahiPublisher *>(userdata);
    // Called from inside avahi_server_new() too, before m_server is set: use `server`.
    switch (state) {
    case AVAHI_SERVER_REGISTERING:
        qCDebug(lcZeroConf) << "probing host name" << avahi_server_get_host_name_fqdn(server);
        break;
    case AVAHI_SERVER_RUNNING:
        qCDebug(lcZeroConf) << "host name established:" << avahi_server_get_host_name_fqdn(server);
        break;
    case AVAHI_SERVER_COLLISION:
        QTimer::singleShot(0, self, &AvahiPublisher::hostNameTaken);
        break;
    case AVAHI_SERVER_FAILURE: {
        const QString reason = avahiError(avahi_server_errno(server));
        QTimer::singleShot(0, self, [self, reason] { self->fail(reason); });
        break;
    }
    case AVAHI_SERVER_INVALID:
        break;
    }
}

void AvahiPublisher::groupCallback(AvahiServer *server, AvahiSEntryGroup *group,
                                   AvahiEntryGroupState state, void *userdata)
{
    Q_UNUSED(group)
    auto *self = static_cast<AvahiPublisher *>(userdata);
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        self->m_watchdog.stop();
        qCDebug(lcZeroConf) << "service established:" << self->m_request.name;
        QTimer::singleShot(0, self, [self] {
            if (!self->m_failed)
                emit self->established();
        });
        break;
    case AVAHI_ENTRY_GROUP_COLLISION:
        self->m_watchdog.stop();
        QTimer::singleShot(0, self, &AvahiPublisher::serviceNameTaken);
        break;
    case AVAHI_ENTRY_GROUP_FAILURE: {
        self->m_watchdog.stop();
        const QString reason = avahiError(avahi_server_errno(server));
        QTimer::singleShot(0, self, [self, reason] { self->fail(reason); });
        break;
    }
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
}

void AvahiPublisher::hostNameTaken()
{
    if (m_failed || !m_server || avahi_server_get_state(m_server) != AVAHI_SERVER_COLLISION)
        return;
    const QByteArray next = takeNextHostName(avahi_server_get_host_name(m_server));
    const int r = avahi_server_set_host_name(m_server, next.constData());
    if (r < 0) {
        fail(avahiError(r));
        return;
    }
    // The SRV record still names the old host: re-add the service once the back-off
    // allows another probe.
    m_retry.start(m_pacer.delayAfterConflict());
}

void AvahiPublisher::serviceNameTaken()
{
    if (m_failed || !m_group)
        return;
    takeNextServiceName();
    m_retry.start(m_pacer.delayAfterConflict());
}

void AvahiPublisher::registrationStuck()
{
    if (m_failed || !m_group ||
        avahi_s_entry_group_get_state(m_group) != AVAHI_ENTRY_GROUP_REGISTERING)
        return;
    // A stuck group does not recover when committed again: start over with a fresh one.
    qCDebug(lcZeroConf) << "service" << m_request.name << "still registering; publishing it afresh";
    avahi_s_entry_group_free(m_group);
    m_group = nullptr;
    publish();
}

void AvahiPublisher::fail(const QString &reason)
{
    if (m_failed)
        return;
    m_failed = true;
    m_watchdog.stop();
    m_retry.stop();
    emit failed(reason);
}
