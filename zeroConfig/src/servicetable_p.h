// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_SERVICETABLE_P_H
#define QZEROCONF_SERVICETABLE_P_H

#include "engine_p.h"

#include <QHash>
#include <QString>

namespace QZeroConfInternal {

// The services a browser reports. An instance is one service however many interfaces
// and IP versions it is seen on: it is added when the first of them resolves, updated
// when the data reported for it changes, and removed when the last of them goes. The
// source it is reported from stays until it goes: another source that resolves later,
// with its own address, is no change of the service.
class ServiceTable
{
public:
    enum Change { None, Added, Updated, Removed };

    // A source is one interface and IP version, as the engine names them.
    Change resolved(const QString &instanceKey, int source, const ResolvedService &service);
    Change lost(const QString &instanceKey, int source);
    void clear() { m_instances.clear(); }

    // What is reported for the instance: the resolution of its reporting source.
    ResolvedService current(const QString &instanceKey) const;
    bool contains(const QString &instanceKey) const { return m_instances.contains(instanceKey); }

private:
    struct Instance
    {
        QMap<int, ResolvedService> bySource;
        int reportingSource = 0;
        ResolvedService reported;
    };
    QHash<QString, Instance> m_instances;
};

} // namespace QZeroConfInternal

#endif
