#ifndef QZEROCONF_DAEMONPUBLISHER_P_H
#define QZEROCONF_DAEMONPUBLISHER_P_H

#include "../addresswatch_p.h"
#include "publisher_p.h"

#include <avahi-client/publish.h>

#include <QTimer>

#include <memory>

namespace QZeroConfInternal {

class DaemonConnection;

// One service, published through the host's own mDNS daemon over D-Bus, so that the
// host keeps one responder and one name. A host argument other than the daemon's own
// host name gets address records of its own, with this machine's current addresses.
//
// The daemon owns what it announces: it withdraws it when this process goes, however
// it goes. When the daemon goes away, the publisher waits for it and publishes again
// once it is back; after DaemonGraceMs it gives up and signals responderGone().
//
// libavahi-client calls back from inside its own calls, so the group callback only
// queues a look at the groups' current state to the event loop; no signal is emitted
// from inside Avahi.
class DaemonPublisher : public Publisher
{
    Q_OBJECT

public:
    explicit DaemonPublisher(const PublishRequest &request, QObject *parent = nullptr);
    // Frees the entry groups: the daemon withdraws them with goodbye packets.
    ~DaemonPublisher() override;

    bool start(QString *error) override;

private:
    Q_DISABLE_COPY(DaemonPublisher)

    static void groupCallback(AvahiEntryGroup *group, AvahiEntryGroupState state, void *userdata);

    void groupsChanged();
    void publish();
    bool publishHost(QString *error);
    QString publishService();
    void addressesChanged();
    void registrationStuck() override;
    void hostNameTaken();
    void serviceNameTaken();
    void dropGroups();
    void dropHostGroup();
    void republishHost();
    void fail(const QString &reason);
    bool usesDaemonHostName() const;
    bool running() const;

    std::unique_ptr<DaemonConnection> m_daemon; // declared first: freed after the groups
    AvahiEntryGroup *m_serviceGroup = nullptr;
    AvahiEntryGroup *m_hostGroup = nullptr;
    AddressWatch *m_watch = nullptr;
    QVector<LocalAddress> m_addresses; // what m_hostGroup holds
    QTimer m_retry;                    // the next probe after a conflict
    bool m_reported = false;           // established() said for the current group
    bool m_failed = false;
};

} // namespace QZeroConfInternal

#endif
