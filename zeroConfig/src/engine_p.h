// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_ENGINE_P_H
#define QZEROCONF_ENGINE_P_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QString>

#include <algorithm>
#include <functional>
#include <memory>

namespace QZeroConfInternal {

// What an mDNS engine offers the rest of the component: entry groups of records that
// are probed, announced and withdrawn together, and lookups. Two engines implement it:
// the embedded responder (our own, src/mdns, in process) and the host's daemon
// (over its D-Bus API, in a library of its own that is loaded only where a system bus
// exists). Everything above it (renames, pacing, host records, hand-over from one
// engine to another) is written once, in the responder.
//
// The interface is plain C++ without QObject, so that it can cross into the daemon
// library, which exports nothing but its factory function.
//
// Callbacks may come at any time, even from inside a call made to the engine (a
// commit may report a collision before it returns). A callback must not free, or call
// into, the object it came from: note what happened and react from the event loop.
//
// Interfaces and IP versions are numbered as the daemon's D-Bus API numbers them: the
// interface index, -1 for any; 0 for IPv4, 1 for IPv6.
constexpr int AnyInterface = -1;
enum Protocol : int { IPv4 = 0, IPv6 = 1, AnyProtocol = -1 };

enum class GroupState { Uncommitted, Registering, Established, Collision, Failure };

// A TXT record's data in wire form (RFC 6763 section 6): strings of up to 255 bytes,
// each after its length byte. Kept once for a service, and shared by the request, the
// publication and the mDNS engine's record: a print server publishes a thousand.
class TxtRecord
{
public:
    static TxtRecord fromStrings(const QList<QByteArray> &strings)
    {
        TxtRecord r;
        for (const QByteArray &s : strings)
            r.append(s);
        return r;
    }
    // A string longer than 255 bytes is cut there.
    void append(const QByteArray &string)
    {
        const int n = std::min<int>(int(string.size()), 255);
        m_wire.reserve(m_wire.size() + 1 + n); // no slack: the record is kept as it is
        m_wire.append(char(n));
        m_wire.append(string.constData(), n);
    }
    QList<QByteArray> strings() const
    {
        QList<QByteArray> out;
        for (int i = 0; i < m_wire.size();) {
            const int n = static_cast<unsigned char>(m_wire[i]);
            out.append(m_wire.mid(i + 1, n));
            i += 1 + n;
        }
        return out;
    }
    // Empty when the record holds no strings.
    const QByteArray &wire() const { return m_wire; }
    bool isEmpty() const { return m_wire.isEmpty(); }
    bool operator==(const TxtRecord &o) const { return m_wire == o.m_wire; }

private:
    QByteArray m_wire;
};

// One entry group. Adding records to a group that is registering or established is
// not supported: reset() first. A name that another group of the same engine (or
// another client of the same daemon) holds is reported as Collision, like a conflict
// on the network.
class EngineGroup
{
public:
    // Withdraws whatever the group announced, with goodbye packets.
    virtual ~EngineGroup() = default;

    // host: the SRV target as a fully qualified name; empty: the engine's own host.
    // Several types under one name may share a group: a conflict on any of them is a
    // conflict of the group. A service on several interfaces is added once for each.
    virtual void addService(int interfaceIndex, const QByteArray &name, const QByteArray &type,
                            const QByteArray &host, quint16 port, const TxtRecord &txt) = 0;
    // subtype: the label alone ("_universal"), for a service added before.
    virtual void addServiceSubtype(int interfaceIndex, const QByteArray &name,
                                   const QByteArray &type, const QByteArray &subtype) = 0;
    // Replaces the TXT record of a service of a committed group in place: announced
    // with the cache-flush bit, without goodbyes or a new probe (RFC 6762 section 8.4).
    virtual void updateServiceTxt(int interfaceIndex, const QByteArray &name,
                                  const QByteArray &type, const TxtRecord &txt) = 0;
    // An address record (A for IPv4, AAAA for IPv6) on one interface, announced over
    // the given IP version(s), with the reverse PTR record when `reverse` is set.
    virtual void addAddress(int interfaceIndex, int protocol, const QByteArray &fqdn,
                            const QHostAddress &address, bool reverse) = 0;
    virtual void commit() = 0;
    // Withdraws the records (with goodbyes) and empties the group for new ones.
    virtual void reset() = 0;
    virtual GroupState state() const = 0;
};
// state, and the engine's reason when it is Failure.
using GroupCallback = std::function<void(GroupState, const QString &)>;

// A lookup that runs until it is freed.
class EngineLookup
{
public:
    virtual ~EngineLookup() = default;
};

enum class BrowseEvent { New, Remove, AllForNow, Failure };
// For Failure, name holds the engine's reason.
using BrowseCallback =
    std::function<void(BrowseEvent, int interfaceIndex, int protocol, const QString &name,
                       const QString &type, const QString &domain)>;

// TXT strings in wire order into a map: "key=value", or "key" alone for an empty value.
// The first occurrence of a key wins (RFC 6763 section 6.4); empty strings and strings
// that start with "=" carry no key and are skipped.
inline QMap<QByteArray, QByteArray> txtMap(const QList<QByteArray> &strings)
{
    QMap<QByteArray, QByteArray> map;
    for (const QByteArray &s : strings) {
        const int eq = s.indexOf('=');
        const QByteArray key = eq < 0 ? s : s.left(eq);
        if (key.isEmpty() || map.contains(key))
            continue;
        map.insert(key, eq < 0 ? QByteArray() : s.mid(eq + 1));
    }
    return map;
}

// One resolution of a service instance, as one interface and IP version saw it: the
// component's one record of a resolved service, from the engine to the snapshot that
// the application gets.
struct ResolvedService
{
    QString name;
    QString type;
    QString domain;
    QString host;
    QHostAddress ip;
    quint32 interfaceIndex = 0;
    quint16 port = 0;
    QMap<QByteArray, QByteArray> txt;
    QList<QByteArray> txtStrings; // as on the wire, in order

    void setTxt(const QList<QByteArray> &strings)
    {
        txtStrings = strings;
        txt = txtMap(strings);
    }

    bool sameData(const ResolvedService &o) const
    {
        return host == o.host && ip == o.ip && interfaceIndex == o.interfaceIndex &&
               port == o.port && txt == o.txt;
    }
};

// found is false when the service could not be resolved (timed out, gone).
using ResolveCallback = std::function<void(bool found, const ResolvedService &)>;

// What an engine tells its user about itself.
struct EngineEvents
{
    // Groups and lookups may be made now; again after hostChanging or back.
    std::function<void()> running;
    // The engine's own host name is being (re)established: groups that point at it
    // wait for running.
    std::function<void()> hostChanging;
    // Everything made through the engine is dead: free it. back() or failed() follows.
    std::function<void()> away;
    std::function<void()> back;
    // The engine cannot be used (any more): use another one. `warn` tells whether this
    // deserves a warning (an engine that hangs or vanished) or is the normal case (no
    // daemon on this host).
    std::function<void(const QString &why, bool warn)> failed;
    // What the engine serves has just come into being (a daemon that takes its bus name),
    // or has answered for the first time: running() follows unless failed() does. A
    // responder of our own on the same host must step aside now, before the newcomer
    // probes its host name (RFC 6762 section 15).
    std::function<void()> appeared;
};

enum class StartMode {
    Now,           // fail at once when there is nothing to talk to
    WhenAvailable, // wait for it to appear; fail only when it is there and will not answer
};

class Engine
{
public:
    // Whatever was made through the engine must be freed before it.
    virtual ~Engine() = default;

    // Starts; the outcome arrives through events (running or failed).
    virtual void start(const EngineEvents &events, StartMode mode) = 0;
    // For the log: "the embedded responder", "the host's mDNS daemon (avahi 0.8)".
    virtual QString description() const = 0;
    virtual bool isDaemon() const = 0;
    // The host name that the engine announces itself, as a label without ".local";
    // empty when it announces none. Services that point there need no address records.
    virtual QByteArray ownHostName() const = 0;
    // Set when the engine runs on another network than this process (a daemon in
    // another network namespace): its interfaces are not ours, so address records of
    // ours would be wrong there. Known once running() has been called.
    virtual bool foreignNetwork() const = 0;
    // After failed(): whether what the engine served is still there, only not answering
    // (a hung daemon). It still holds this host's name and the reverse records of the
    // host's addresses, which whatever stands in for it must leave alone.
    virtual bool stillThere() const { return false; }

    virtual std::unique_ptr<EngineGroup> newGroup(GroupCallback callback) = 0;
    // Null, with the reason in *error, when the lookup cannot be made.
    virtual std::unique_ptr<EngineLookup> browse(int protocol, const QByteArray &type,
                                                 BrowseCallback callback, QString *error) = 0;
    // Resolves one instance seen on (interfaceIndex, protocol), to addresses of
    // addressProtocol, and reports again whenever its records change.
    virtual std::unique_ptr<EngineLookup> resolve(int interfaceIndex, int protocol,
                                                  const QString &name, const QString &type,
                                                  const QString &domain, int addressProtocol,
                                                  ResolveCallback callback, QString *error) = 0;
};

// The daemon library's one exported function, and the version of this interface it
// was built for: the component loads it only when the two agree.
constexpr int EngineInterfaceVersion = 4;
using NewDaemonEngine = Engine *(*)(int interfaceVersion);
#define QZEROCONF_DAEMON_ENGINE_FACTORY "qzeroconf_new_daemon_engine"

} // namespace QZeroConfInternal

#endif
