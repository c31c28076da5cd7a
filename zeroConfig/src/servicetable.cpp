// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "servicetable_p.h"

namespace QZeroConfInternal {

ServiceTable::Change ServiceTable::resolved(const QString &instanceKey, int source,
                                            const ResolvedService &service)
{
    auto it = m_instances.find(instanceKey);
    const bool isNew = it == m_instances.end();
    if (isNew)
        it = m_instances.insert(instanceKey, Instance());
    it->bySource.insert(source, service);
    if (isNew) {
        it->reportingSource = source;
        it->reported = service;
        return Added;
    }
    if (source != it->reportingSource || service.sameData(it->reported))
        return None;
    it->reported = service;
    return Updated;
}

ServiceTable::Change ServiceTable::lost(const QString &instanceKey, int source)
{
    auto it = m_instances.find(instanceKey);
    if (it == m_instances.end() || !it->bySource.remove(source))
        return None;
    if (it->bySource.isEmpty()) {
        m_instances.erase(it);
        return Removed;
    }
    if (source != it->reportingSource)
        return None;
    // Reported from the lowest source left from now on.
    it->reportingSource = it->bySource.firstKey();
    const ResolvedService now = it->bySource.first();
    if (now.sameData(it->reported))
        return None;
    it->reported = now;
    return Updated;
}

ResolvedService ServiceTable::current(const QString &instanceKey) const
{
    return m_instances.value(instanceKey).reported;
}

} // namespace QZeroConfInternal
