#include "engine_p.h"

#include "../logging_p.h"

#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-core/log.h>

#include <QDateTime>
#include <QMutex>

#include <cstdlib>
#include <sys/random.h>
#include <unistd.h>

namespace QZeroConfInternal {

namespace {

// The engine's messages belong to our logging category, not to stderr. Avahi has one
// process-wide hook without user data, so it is set once, before the first server.
void engineLog(AvahiLogLevel level, const char *text)
{
    if (level <= AVAHI_LOG_WARN)
        qCInfo(lcZeroConfEngine, "%s", text);
    else
        qCDebug(lcZeroConfEngine, "%s", text);
}

// Process-wide set-up, once, before the first responder starts.
void prepareEngine()
{
    static QBasicMutex mutex;
    static bool prepared = false;
    QMutexLocker lock(&mutex);
    if (prepared)
        return;
    prepared = true;
    avahi_set_log_function(engineLog);
    // The engine draws the random delay before probing (RFC 6762 section 8.1: it keeps
    // devices that power on together from probing in lock-step) from rand(). Unseeded,
    // every process draws the same delay, and always a long one.
    unsigned seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != ssize_t(sizeof seed))
        seed = unsigned(QDateTime::currentMSecsSinceEpoch()) ^ unsigned(getpid());
    srand(seed);
}

} // namespace

QString avahiError(int error)
{
    return QString::fromUtf8(avahi_strerror(error));
}

AvahiServer *newAvahiServer(const AvahiPoll *poll, const QByteArray &hostLabel, bool publishing,
                            AvahiServerCallback callback, void *userdata, QString *error)
{
    prepareEngine();

    AvahiServerConfig config;
    avahi_server_config_init(&config);
    if (!hostLabel.isEmpty())
        config.host_name = avahi_strdup(hostLabel.constData());
    config.publish_hinfo = 0;
    config.publish_workstation = 0;
    config.publish_domain = 0;
    config.enable_wide_area = 0;
    config.add_service_cookie = 0;
    config.disable_publishing = !publishing;
    if (!publishing)
        config.publish_addresses = 0;
    // Share port 5353 with any other responder on this host.
    config.disallow_other_stacks = 0;
    // Incoming packet rate limit, as the system daemon sets it.
    config.ratelimit_interval = 1000000;
    config.ratelimit_burst = 1000;

    int err = 0;
    AvahiServer *server = avahi_server_new(poll, &config, callback, userdata, &err);
    avahi_server_config_free(&config);
    if (!server)
        *error = QStringLiteral("the mDNS responder could not start: %1").arg(avahiError(err));
    return server;
}

} // namespace QZeroConfInternal
