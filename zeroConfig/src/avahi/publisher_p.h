#ifndef QZEROCONF_PUBLISHER_P_H
#define QZEROCONF_PUBLISHER_P_H

#include "../publishrequest_p.h"

#include <avahi-common/strlst.h>

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

namespace QZeroConfInternal {

// RFC 6762 section 9: after fifteen conflicts within ten seconds, wait at least five
// seconds before each further probe.
// Avahi 0.8 can leave a group registering for good when an interface vanishes while it
// probes. Probing takes under a second and Avahi holds a re-commit back by one more, so
// a group still registering after this long, with no conflict in between, is stuck.
constexpr int StuckRegistrationMs = 3000;

class ConflictPacer
{
public:
    ConflictPacer();
    // Notes a conflict now; returns how long to wait before probing again.
    int delayAfterConflict();
    bool hadRecentConflict() const;

private:
    QElapsedTimer m_clock;
    QVector<qint64> m_conflicts; // when recent conflicts happened, on m_clock
};

// One service announced on the network, through one mDNS responder or another. Renames
// on conflict follow the same rules and say the same warning line whatever the
// responder. Every signal comes from the event loop, never from inside the engine.
class Publisher : public QObject
{
    Q_OBJECT

public:
    explicit Publisher(const PublishRequest &request, QObject *parent = nullptr);

    // Starts announcing. False, with the reason, when it cannot start at all.
    virtual bool start(QString *error) = 0;

    // The request as it stands now, under the names it has after any renames.
    const PublishRequest &current() const { return m_request; }

Q_SIGNALS:
    void established();
    void failed(const QString &reason);
    // The responder this publisher relies on has gone for good; another one should
    // take over current().
    void responderGone();

protected:
    // Picks the next instance name after a conflict and says so in one warning line.
    void takeNextServiceName();
    // The same for the host name; `taken` is the label that was in use.
    QByteArray takeNextHostName(const QByteArray &taken);

    // The TXT strings of the request as Avahi takes them, in order on the wire. The
    // caller frees the list.
    AvahiStringList *newTxtList() const;

    // Armed on every commit; when it fires, registrationStuck() looks whether a group
    // still registers, unless renames are under way (their back-off sets the pace).
    void watchRegistration() { m_watchdog.start(); }
    virtual void registrationStuck() = 0;

    PublishRequest m_request;
    ConflictPacer m_pacer;
    QTimer m_watchdog;

private:
    Q_DISABLE_COPY(Publisher)
};

} // namespace QZeroConfInternal

#endif
