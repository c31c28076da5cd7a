#ifndef QZEROCONF_DAEMON_P_H
#define QZEROCONF_DAEMON_P_H

#include "daemonbackend_p.h"

#include <avahi-client/client.h>

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

namespace QZeroConfInternal {

class QtAvahiPoll;

// How long the daemon may be away before its users give up on it.
constexpr int DaemonGraceMs = 5000;

// A connection to the host's mDNS daemon that outlives the daemon: while the daemon is
// away it waits, and picks up again once the daemon is back. When the bus connection
// itself breaks, it makes a new one every second for as long as the grace lasts.
//
// libavahi-client reports from inside its own calls; the signals come from the event
// loop, after a fresh look at the client's state.
class DaemonConnection : public QObject
{
    Q_OBJECT

public:
    explicit DaemonConnection(QObject *parent = nullptr);
    // Whatever was made through client() must be freed before this.
    ~DaemonConnection() override;

    // False, with the reason, when there is no system bus to talk on.
    bool open(QString *error);

    // Null while the bus connection is broken.
    AvahiClient *client() const { return m_client; }
    bool isRunning() const;

Q_SIGNALS:
    // The daemon runs with its host name established: publish or browse now.
    void running();
    // The daemon is (re)establishing its host name.
    void hostChanging();
    // The daemon went away. Everything made through client() is dead: free it now,
    // before the client is freed.
    void away();
    // After away(): the daemon is back in time (running() follows), or it is not.
    void back();
    void gone();

private:
    Q_DISABLE_COPY(DaemonConnection)

    static void clientCallback(AvahiClient *client, AvahiClientState state, void *userdata);
    void changed();
    void goAway();

    std::unique_ptr<QtAvahiPoll> m_poll;
    AvahiClient *m_client = nullptr;
    QTimer m_reconnect;
    QTimer m_grace;
    bool m_away = false;
};

} // namespace QZeroConfInternal

#endif
