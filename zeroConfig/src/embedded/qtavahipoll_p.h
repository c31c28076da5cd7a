// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_QTAVAHIPOLL_P_H
#define QZEROCONF_QTAVAHIPOLL_P_H

#include <avahi-common/watch.h>

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace QZeroConfInternal {

// Drives Avahi from the Qt event loop of the thread that creates it: each watch is
// served by at most one read and one write QSocketNotifier, each timeout by one
// precise single-shot QTimer. No threads.
//
// Avahi may update or free a watch or timeout from inside that object's own callback
// (and frees watches before it closes their descriptors), so a freed object is only
// marked dead while its callback runs and is released once the callback has returned.
//
// The adapter must outlive everything created through it; objects Avahi leaves behind
// are released with it.
class QtAvahiPoll
{
public:
    QtAvahiPoll();
    ~QtAvahiPoll();

    const AvahiPoll *api() const { return &m_api; }

    // For tests: the enabled notifiers of one descriptor and direction.
    int enabledNotifiers(int fd, QSocketNotifier::Type type) const;

private:
    Q_DISABLE_COPY(QtAvahiPoll)

    AvahiPoll m_api;
    std::unique_ptr<QObject> m_owner; // parent of every notifier and timer
};

} // namespace QZeroConfInternal

#endif
