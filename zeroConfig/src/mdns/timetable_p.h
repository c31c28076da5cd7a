// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_MDNS_TIMETABLE_P_H
#define QZEROCONF_MDNS_TIMETABLE_P_H

#include <QtGlobal>

#include <vector>

namespace QZeroConfInternal::Mdns {

// Times by a 64-bit hash key, in one flat array (open addressing, linear probing). The
// core keeps a time for every record on every link and IP version; with a thousand
// services a node-based hash spends more on its nodes than on the times.
class TimeTable
{
public:
    // The time stored for key, or `absent`.
    qint64 value(quint64 key, qint64 absent = -1) const;
    void insert(quint64 key, qint64 time);
    // Drops the times before `limit`, and gives back room that is no longer needed.
    void dropBefore(qint64 limit);
    int size() const { return m_used; }

private:
    struct Slot
    {
        quint64 key = 0; // 0: empty (a key of 0 is stored as 1)
        qint64 time = 0;
    };
    static quint64 stored(quint64 key) { return key ? key : 1; }
    size_t find(quint64 key) const; // the key's slot, or the empty one where it would go
    void rebuild(size_t capacity, qint64 limit);

    std::vector<Slot> m_slots; // a power of two long, at most three quarters used
    int m_used = 0;
};

} // namespace QZeroConfInternal::Mdns

#endif
