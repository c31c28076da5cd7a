#include "daemonpublisher_p.h"

#include "../logging_p.h"
#include "daemon_p.h"
#include "engine_p.h"

#include <avahi-common/error.h>

#include <QtEndian>

#include <cstring>

using namespace QZeroConfInternal;

namespace {

AvahiAddress avahiAddress(const QHostAddress &a)
{
    AvahiAddress result = {};
    if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        result.proto = AVAHI_PROTO_INET;
        result.data.ipv4.address = qToBigEndian(a.toIPv4Address());
    } else {
        result.proto = AVAHI_PROTO_INET6;
        const Q_IPV6ADDR bytes = a.toIPv6Address();
        memcpy(result.data.ipv6.address, bytes.c, sizeof result.data.ipv6.address);
    }
    return result;
}

} // namespace

DaemonPublisher::DaemonPublisher(const PublishRequest &request, QObject *parent)
    : Publisher(request, parent), m_daemon(new DaemonConnection)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &DaemonPublisher::publish);
    connect(m_daemon.get(), &DaemonConnection::running, this, [this] {
        if (!m_serviceGroup && !m_retry.isActive())
            publish();
    });
    // The daemon (re)establishes its own host name: a service that points at it is
    // published again once the name stands.
    connect(m_daemon.get(), &DaemonConnection::hostChanging, this, [this] {
        if (usesDaemonHostName())
            dropGroups();
    });
    connect(m_daemon.get(), &DaemonConnection::away, this, &DaemonPublisher::dropGroups);
    connect(m_daemon.get(), &DaemonConnection::back, this, [this] {
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("the mDNS daemon is back; announcing %1 through it again")
                   .arg(quotedUtf8(m_request.name));
    });
    connect(m_daemon.get(), &DaemonConnection::gone, this, [this] {
        if (m_failed)
            return;
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("the mDNS daemon has been away for %1 s; announcing %2 on our own")
                   .arg(DaemonGraceMs / 1000)
                   .arg(quotedUtf8(m_request.name));
        emit responderGone();
    });
}

DaemonPublisher::~DaemonPublisher()
{
    dropGroups();
}

bool DaemonPublisher::start(QString *error)
{
    return m_daemon->open(error);
}

void DaemonPublisher::groupCallback(AvahiEntryGroup *, AvahiEntryGroupState, void *userdata)
{
    auto *self = static_cast<DaemonPublisher *>(userdata);
    QTimer::singleShot(0, self, &DaemonPublisher::groupsChanged);
}

bool DaemonPublisher::running() const
{
    return m_daemon->isRunning();
}

bool DaemonPublisher::usesDaemonHostName() const
{
    if (m_request.hostLabel.isEmpty())
        return true;
    const char *own = m_daemon->client() ? avahi_client_get_host_name(m_daemon->client()) : nullptr;
    return own && m_request.hostLabel.compare(own, Qt::CaseInsensitive) == 0;
}

void DaemonPublisher::dropGroups()
{
    // Free does not talk to a daemon that is gone; it only releases the handle.
    if (m_serviceGroup)
        avahi_entry_group_free(m_serviceGroup);
    m_serviceGroup = nullptr;
    m_reported = false;
    dropHostGroup();
}

void DaemonPublisher::dropHostGroup()
{
    if (m_hostGroup)
        avahi_entry_group_free(m_hostGroup);
    m_hostGroup = nullptr;
    m_addresses.clear();
}

// Withdraws the address records and puts up the current ones in a fresh group.
void DaemonPublisher::republishHost()
{
    dropHostGroup();
    QString error;
    if (!publishHost(&error) && !error.isEmpty())
        fail(error);
}

void DaemonPublisher::publish()
{
    if (m_failed || !running())
        return;
    QString error;
    if (!publishHost(&error)) {
        if (!error.isEmpty())
            fail(error);
        return;
    }
    error = publishService();
    if (!error.isEmpty())
        fail(error);
}

// Puts this machine's addresses under the host name of the request, unless that is the
// daemon's own name, which the daemon announces itself. False when the service must
// not go out now: *error says why, or is empty when a rename is under way.
bool DaemonPublisher::publishHost(QString *error)
{
    if (usesDaemonHostName()) {
        dropHostGroup();
        return true;
    }
    if (!m_watch) {
        m_watch = new AddressWatch(this);
        connect(m_watch, &AddressWatch::changed, this, &DaemonPublisher::addressesChanged);
    }
    if (m_hostGroup && avahi_entry_group_get_state(m_hostGroup) != AVAHI_ENTRY_GROUP_UNCOMMITED)
        return true; // standing; address changes rebuild it
    if (!m_hostGroup) {
        m_hostGroup = avahi_entry_group_new(m_daemon->client(), groupCallback, this);
        if (!m_hostGroup) {
            *error = avahiError(avahi_client_errno(m_daemon->client()));
            return false;
        }
    }
    avahi_entry_group_reset(m_hostGroup);
    m_addresses.clear();
    const QByteArray fqdn = m_request.hostLabel + ".local";
    const QVector<LocalAddress> addresses = announceableAddresses();
    for (const LocalAddress &a : addresses) {
        const AvahiAddress address = avahiAddress(a.address);
        // A records go out over IPv4 only, AAAA over both, as the daemon does its own.
        // No reverse (PTR) records: the address's reverse name belongs to the daemon.
        const int r = avahi_entry_group_add_address(
            m_hostGroup, a.interfaceIndex,
            address.proto == AVAHI_PROTO_INET ? AVAHI_PROTO_INET : AVAHI_PROTO_UNSPEC,
            AVAHI_PUBLISH_NO_REVERSE, fqdn.constData(), &address);
        if (r == AVAHI_ERR_COLLISION) { // another client of the daemon holds the name
            hostNameTaken();
            return false;
        }
        if (r < 0) {
            qCDebug(lcZeroConf) << "not announcing" << a.address << "for" << fqdn << ":"
                                << avahiError(r);
            continue;
        }
        m_addresses.append(a);
    }
    if (!m_addresses.isEmpty()) {
        const int r = avahi_entry_group_commit(m_hostGroup);
        if (r < 0) {
            *error = avahiError(r);
            return false;
        }
        watchRegistration();
    }
    qCDebug(lcZeroConf) << "announcing" << m_addresses.size() << "addresses for" << fqdn;
    return true;
}

QString DaemonPublisher::publishService()
{
    if (!m_serviceGroup) {
        m_serviceGroup = avahi_entry_group_new(m_daemon->client(), groupCallback, this);
        if (!m_serviceGroup)
            return avahiError(avahi_client_errno(m_daemon->client()));
    } else {
        avahi_entry_group_reset(m_serviceGroup);
    }
    m_reported = false;

    AvahiStringList *txt = newTxtList();
    const QByteArray host = m_request.hostLabel + ".local";
    int r = avahi_entry_group_add_service_strlst(
        m_serviceGroup, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
        m_request.name.constData(), m_request.type.constData(), nullptr,
        usesDaemonHostName() ? nullptr : host.constData(), m_request.port, txt);
    avahi_string_list_free(txt);
    if (r == AVAHI_ERR_COLLISION) { // another client of the daemon has the name
        serviceNameTaken();
        return QString();
    }
    if (r >= 0)
        r = avahi_entry_group_commit(m_serviceGroup);
    if (r < 0)
        return avahiError(r);
    watchRegistration();
    return QString();
}

void DaemonPublisher::groupsChanged()
{
    if (m_failed || !running())
        return; // a daemon that went away fails every group; that is not our failure
    const int hostState = m_hostGroup ? avahi_entry_group_get_state(m_hostGroup) : -1;
    const int serviceState = m_serviceGroup ? avahi_entry_group_get_state(m_serviceGroup) : -1;
    if (hostState == AVAHI_ENTRY_GROUP_FAILURE || serviceState == AVAHI_ENTRY_GROUP_FAILURE) {
        fail(avahiError(avahi_client_errno(m_daemon->client())));
        return;
    }
    if (hostState == AVAHI_ENTRY_GROUP_COLLISION) {
        hostNameTaken();
        return;
    }
    if (serviceState == AVAHI_ENTRY_GROUP_COLLISION) {
        serviceNameTaken();
        return;
    }
    if (serviceState == AVAHI_ENTRY_GROUP_ESTABLISHED && !m_reported) {
        m_reported = true;
        qCDebug(lcZeroConf) << "service established through the daemon:" << m_request.name;
        emit established();
    }
}

// The daemon runs the same engine, with the same way of getting stuck.
void DaemonPublisher::registrationStuck()
{
    if (m_failed || !running())
        return;
    const bool hostStuck =
        m_hostGroup && avahi_entry_group_get_state(m_hostGroup) == AVAHI_ENTRY_GROUP_REGISTERING;
    const bool serviceStuck = m_serviceGroup && avahi_entry_group_get_state(m_serviceGroup) ==
                                                    AVAHI_ENTRY_GROUP_REGISTERING;
    if (hostStuck) {
        qCDebug(lcZeroConf) << "addresses still registering; publishing them afresh";
        republishHost();
    }
    if (serviceStuck && !m_failed && !m_retry.isActive()) {
        qCDebug(lcZeroConf) << "service" << m_request.name
                            << "still registering; publishing it afresh";
        avahi_entry_group_free(m_serviceGroup);
        m_serviceGroup = nullptr;
        const QString error = publishService();
        if (!error.isEmpty())
            fail(error);
    }
}

void DaemonPublisher::hostNameTaken()
{
    takeNextHostName(m_request.hostLabel);
    // Both go again: the addresses under the new name, the SRV record pointing at it.
    dropGroups();
    m_retry.start(m_pacer.delayAfterConflict());
}

void DaemonPublisher::serviceNameTaken()
{
    takeNextServiceName();
    if (m_serviceGroup)
        avahi_entry_group_reset(m_serviceGroup);
    m_retry.start(m_pacer.delayAfterConflict());
}

void DaemonPublisher::addressesChanged()
{
    if (m_failed || !running() || usesDaemonHostName() || !m_serviceGroup)
        return;
    if (announceableAddresses() == m_addresses)
        return;
    qCDebug(lcZeroConf) << "addresses changed; announcing them again";
    republishHost();
}

void DaemonPublisher::fail(const QString &reason)
{
    if (m_failed)
        return;
    m_failed = true;
    m_retry.stop();
    emit failed(reason);
}
