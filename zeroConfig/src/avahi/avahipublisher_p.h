#ifndef QZEROCONF_AVAHIPUBLISHER_P_H
#define QZEROCONF_AVAHIPUBLISHER_P_H

#include "../publishrequest_p.h"

#include <avahi-core/core.h>
#include <avahi-core/publish.h>

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <memory>

namespace QZeroConfInternal {

class QtAvahiPoll;

// One service, published by an mDNS responder of its own (the embedded Avahi core)
// that answers for the service's records and for its host's addresses.
//
// Avahi calls back from inside its own calls (avahi_server_new, set_host_name, commit),
// so the callbacks only note what happened and queue the reaction to the event loop;
// every signal of this class is emitted from there, never from inside Avahi.
class AvahiPublisher : public QObject
{
    Q_OBJECT

public:
    explicit AvahiPublisher(const PublishRequest &request, QObject *parent = nullptr);
    // Frees the responder, which sends the goodbye packets (TTL 0) before it returns.
    ~AvahiPublisher() override;

    // Starts the responder and commits the service at once: the host name and the
    // service are probed side by side. False, with the reason, when it cannot start.
    bool start(QString *error);

    QByteArray serviceName() const { return m_name; }

Q_SIGNALS:
    void established();
    void failed(const QString &reason);

private:
    Q_DISABLE_COPY(AvahiPublisher)

    static void serverCallback(AvahiServer *server, AvahiServerState state, void *userdata);
    static void groupCallback(AvahiServer *server, AvahiSEntryGroup *group,
                              AvahiEntryGroupState state, void *userdata);

    void publish();
    QString publishNow();
    void hostNameTaken();
    void serviceNameTaken();
    void registrationStuck();
    void fail(const QString &reason);
    int nextConflictDelay();

    PublishRequest m_request;
    QByteArray m_name;
    std::unique_ptr<QtAvahiPoll> m_poll;
    AvahiServer *m_server = nullptr;
    AvahiSEntryGroup *m_group = nullptr;
    QTimer m_watchdog;
    QTimer m_retry;
    QElapsedTimer m_clock;
    QVector<qint64> m_conflicts; // when recent conflicts happened, on m_clock
    bool m_failed = false;
};

} // namespace QZeroConfInternal

#endif
