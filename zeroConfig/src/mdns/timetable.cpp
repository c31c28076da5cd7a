// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "timetable_p.h"

#include <limits>

namespace QZeroConfInternal::Mdns {

size_t TimeTable::find(quint64 key) const
{
    const size_t mask = m_slots.size() - 1;
    // The keys are hashes already; the high bits mix in what the low ones may share.
    size_t i = size_t(key ^ (key >> 32)) & mask;
    while (m_slots[i].key != 0 && m_slots[i].key != key)
        i = (i + 1) & mask;
    return i;
}

qint64 TimeTable::value(quint64 key, qint64 absent) const
{
    if (m_slots.empty())
        return absent;
    const Slot &s = m_slots[find(stored(key))];
    return s.key ? s.time : absent;
}

void TimeTable::insert(quint64 key, qint64 time)
{
    if (size_t(m_used + 1) * 4 > m_slots.size() * 3)
        rebuild(m_slots.empty() ? 16 : m_slots.size() * 2, std::numeric_limits<qint64>::min());
    Slot &s = m_slots[find(stored(key))];
    if (!s.key) {
        s.key = stored(key);
        ++m_used;
    }
    s.time = time;
}

void TimeTable::dropBefore(qint64 limit)
{
    int kept = 0;
    for (const Slot &s : m_slots)
        kept += s.key && s.time >= limit;
    if (!kept) {
        m_slots = std::vector<Slot>();
        m_used = 0;
        return;
    }
    size_t capacity = 16;
    while (size_t(kept) * 2 > capacity) // half full at most after a prune
        capacity *= 2;
    rebuild(capacity, limit);
}

void TimeTable::rebuild(size_t capacity, qint64 limit)
{
    std::vector<Slot> old(capacity);
    old.swap(m_slots);
    m_used = 0;
    for (const Slot &s : old) {
        if (s.key && s.time >= limit) {
            m_slots[find(s.key)] = s;
            ++m_used;
        }
    }
}

} // namespace QZeroConfInternal::Mdns
