#ifndef QZEROCONF_AVAHIPUBLISHER_P_H
#define QZEROCONF_AVAHIPUBLISHER_P_H

#include "publisher_p.h"

#include <avahi-core/core.h>
#include <avahi-core/publish.h>

#include <QTimer>

#include <memory>

namespace QZeroConfInternal {

class QtAvahiPoll;

// One service, published by an mDNS responder of its own (the embedded Avahi core)
// that answers for the service's records and for its host's addresses.
//
// Avahi calls back from inside its own calls (avahi_server_new, set_host_name, commit),
// so the callbacks only note what happened and queue the reaction to the event loop;
// every signal of this class is emitted from there, never from inside Avahi.
class AvahiPublisher : public Publisher
{
    Q_OBJECT

public:
    explicit AvahiPublisher(const PublishRequest &request, QObject *parent = nullptr);
    // Frees the responder, which sends the goodbye packets (TTL 0) before it returns.
    ~AvahiPublisher() override;

    // Starts the responder and commits the service at once: the host name and the
    // service are probed side by side.
    bool start(QString *error) override;

private:
    Q_DISABLE_COPY(AvahiPublisher)

    static void serverCallback(AvahiServer *server, AvahiServerState state, void *userdata);
    static void groupCallback(AvahiServer *server, AvahiSEntryGroup *group,
                              AvahiEntryGroupState state, void *userdata);

    void publish();
    QString publishNow();
    void hostNameTaken();
    void serviceNameTaken();
    void registrationStuck() override;
    void fail(const QString &reason);

    std::unique_ptr<QtAvahiPoll> m_poll;
    AvahiServer *m_server = nullptr;
    AvahiSEntryGroup *m_group = nullptr;
    QTimer m_retry;
    bool m_failed = false;
};

} // namespace QZeroConfInternal

#endif
