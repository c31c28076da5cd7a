#include "publisher_p.h"

#include "../logging_p.h"

#include <avahi-common/alternative.h>
#include <avahi-common/malloc.h>

using namespace QZeroConfInternal;

namespace {

constexpr int ConflictWindowMs = 10000;
constexpr int ConflictBurst = 15;
constexpr int ConflictHoldOffMs = 5000;

QByteArray takeAvahiString(char *s)
{
    const QByteArray result(s);
    avahi_free(s);
    return result;
}

} // namespace

ConflictPacer::ConflictPacer()
{
    m_clock.start();
}

int ConflictPacer::delayAfterConflict()
{
    const qint64 now = m_clock.elapsed();
    m_conflicts.append(now);
    while (!m_conflicts.isEmpty() && now - m_conflicts.first() > ConflictWindowMs)
        m_conflicts.removeFirst();
    return m_conflicts.size() >= ConflictBurst ? ConflictHoldOffMs : 0;
}

bool ConflictPacer::hadRecentConflict() const
{
    return !m_conflicts.isEmpty() && m_clock.elapsed() - m_conflicts.last() < ConflictWindowMs;
}

Publisher::Publisher(const PublishRequest &request, QObject *parent)
    : QObject(parent), m_request(request)
{
    m_watchdog.setSingleShot(true);
    m_watchdog.setInterval(StuckRegistrationMs);
    connect(&m_watchdog, &QTimer::timeout, this, [this] {
        if (m_pacer.hadRecentConflict())
            m_watchdog.start();
        else
            registrationStuck();
    });
}

void Publisher::takeNextServiceName()
{
    const QByteArray next =
        takeAvahiString(avahi_alternative_service_name(m_request.name.constData()));
    qCWarning(lcZeroConf).noquote()
        << QStringLiteral("service name %1 is taken on the network; announcing as %2")
               .arg(quotedUtf8(m_request.name), quotedUtf8(next));
    m_request.name = next;
}

QByteArray Publisher::takeNextHostName(const QByteArray &taken)
{
    const QByteArray next = takeAvahiString(avahi_alternative_host_name(taken.constData()));
    qCWarning(lcZeroConf).noquote()
        << QStringLiteral("host name %1 is taken on the network; using %2")
               .arg(quotedUtf8(taken + ".local"), quotedUtf8(next + ".local"));
    m_request.hostLabel = next;
    return next;
}

AvahiStringList *Publisher::newTxtList() const
{
    // Avahi keeps a string list newest-first and writes it to the wire last-first, so
    // adding in order gives the order on the wire.
    AvahiStringList *txt = nullptr;
    for (const QByteArray &s : m_request.txt)
        txt = avahi_string_list_add_arbitrary(txt, reinterpret_cast<const uint8_t *>(s.constData()),
                                              size_t(s.size()));
    return txt;
}
