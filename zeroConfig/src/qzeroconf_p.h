#ifndef QZEROCONF_P_H
#define QZEROCONF_P_H

#include "../qzeroconf"
#include "servicespec_p.h"

#include <QList>

#include <memory>

namespace QZeroConfInternal {
class AvahiPublisher;
}

class QZeroConfPrivate
{
    Q_DECLARE_PUBLIC(QZeroConf)

public:
    explicit QZeroConfPrivate(QZeroConf *q);
    ~QZeroConfPrivate();

    // Reports a publish request that never got going: one warning, and the error
    // signal from the event loop, after the caller's call has returned.
    void refuse(const QString &what, const QString &reason);
    void publicationFailed(const QString &reason);
    void withdraw();

    QZeroConf *q_ptr;
    QList<QZeroConfInternal::TxtEntry> txt;
    std::unique_ptr<QZeroConfInternal::AvahiPublisher> publisher;
};

#endif
