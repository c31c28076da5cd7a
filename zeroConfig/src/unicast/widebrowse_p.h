// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_UNICAST_WIDEBROWSE_P_H
#define QZEROCONF_UNICAST_WIDEBROWSE_P_H

#include "../widearea_p.h"
#include "dnsmessage_p.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <map>
#include <memory>
#include <vector>

namespace QZeroConfInternal {
namespace Unicast {

class DnsExchange;
class WideAreaBrowser;

// One question of a browse, asked again and again: at its answer's TTL (bounded), or
// with back-off after a fault, while the last answer stands.
//
//   Queued -> Asking -> Fresh ------> Queued (TTL ran out, or askSoon())
//                    \-> BackingOff -> Queued (back-off ran out, or askSoon())
class Question : public QObject
{
    Q_OBJECT

public:
    enum class State { Queued, Asking, Fresh, BackingOff };

    // domain: the browse domain whose faults this question's count among; empty for the
    // questions that look for browse domains, whose faults are no one's business.
    Question(WideAreaBrowser *browser, const QByteArray &name, int type, const QByteArray &domain);
    ~Question() override;

    // The records of the question's type in the last answer, in a stable order.
    const QList<Record> &records() const { return m_records; }
    // Answered at least once, or failed at least once: what is known is all there is.
    bool settled() const { return m_settled; }
    State state() const { return m_state; }
    void askSoon();

Q_SIGNALS:
    void changed();

private:
    friend class WideAreaBrowser;
    void enter(State state, int ms = 0);
    void answered(const QByteArray &wire);
    void failed(const QString &why);

    WideAreaBrowser *const m_browser;
    const QByteArray m_name;
    const int m_type;
    const QByteArray m_domain;
    DnsExchange *m_exchange;
    Outgoing m_out;
    QTimer m_timer;
    State m_state = State::Queued;
    int m_backoffMs = 0;
    int m_serverIndex = 0; // which of the resolvers was asked
    bool m_settled = false;
    QList<Record> m_records;
};

// Browses one service type in the site's DNS (RFC 6763 sections 4, 11): finds the browse
// domains (b._dns-sd._udp and db._dns-sd._udp under each search domain, and the
// registration domain) unless the application gave its own, asks each for the type's
// PTR records, then each instance's SRV and TXT and its target's addresses, all through
// the configured resolvers. Reports instances once whole, again when they change, and
// their loss when the PTR, or the SRV, goes.
class WideAreaBrowser : public QObject, public WideAreaBrowse
{
    Q_OBJECT

public:
    WideAreaBrowser(const QByteArray &type, int protocol, const WideAreaBrowseSettings &settings,
                    const WideAreaBrowseSink &sink);
    ~WideAreaBrowser() override;

    void start();
    // Where the questions go instead of the resolver configuration's name servers.
    void useResolver(const QHostAddress &address, quint16 port);
    // Instead of the resolver configuration's search domains.
    void useSearchDomains(const QList<QByteArray> &domains);
    void setTtlBounds(int minMs, int maxMs);

    static constexpr int MinTtlMs = 10 * 1000;
    static constexpr int MaxTtlMs = 3600 * 1000;
    static constexpr int MaxInFlight = 16;
    static constexpr int MaxBackoffMs = 60 * 1000;

private:
    Q_DISABLE_COPY(WideAreaBrowser)
    friend class Question;

    struct Instance
    {
        QByteArray name; // presentation form, absolute
        QByteArray target;
        std::unique_ptr<Question> srv, txt, a, aaaa;
        bool reported = false;
        ResolvedService last;
    };
    struct Domain
    {
        QByteArray name;
        std::unique_ptr<Question> ptr;
        std::map<QByteArray, std::unique_ptr<Instance>> instances; // by lower-case name
    };

    void readResolverConfig();
    void askAgainNow();
    void discover();
    void pickDomains();
    void browseIn(const QByteArray &domain);
    void ptrChanged(Domain *d);
    void instanceChanged(Domain *d, Instance *i);
    void lose(Domain *d, Instance *i);
    std::unique_ptr<Question> question(const QByteArray &name, int type, const QByteArray &domain,
                                       std::function<void()> changed);

    // The slots for exchanges, shared by all questions.
    void want(Question *q);
    void done(Question *q);
    void forget(Question *q);
    void dispatch();
    // Faults are told once per kind and domain; then counted, and the count told once
    // the domain answers again.
    void fault(const QByteArray &domain, const QString &what, const QHostAddress &server);
    QHostAddress server(int index) const;
    void recovered(const QByteArray &domain);

    const QByteArray m_type;     // as asked: with the subtype
    const QString m_serviceType; // as reported: without it
    const int m_protocol;
    const WideAreaBrowseSettings m_settings;
    const WideAreaBrowseSink m_sink;

    QList<QHostAddress> m_servers;
    quint16 m_port = 53;
    int m_server = 0;
    bool m_fixedServer = false;
    QList<QByteArray> m_search;
    bool m_fixedSearch = false;
    int m_minTtlMs = MinTtlMs;
    int m_maxTtlMs = MaxTtlMs;

    std::vector<std::unique_ptr<Question>> m_discovery;
    std::map<QByteArray, std::unique_ptr<Domain>> m_domains; // by lower-case name
    QList<Question *> m_queue;
    int m_inFlight = 0;
    QHash<QPair<QByteArray, QString>, int> m_faults;
    QFileSystemWatcher m_watch;
    bool m_closing = false;
};

} // namespace Unicast
} // namespace QZeroConfInternal

#endif
