// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_P_H
#define QZEROCONF_P_H

#include "../qzeroconf"
#include "publishrequest_p.h"
#include "servicetable_p.h"
#include "widearea_p.h"

#include <QHash>
#include <QList>

#include <memory>

namespace QZeroConfInternal {
class Browser;
class Publication;
} // namespace QZeroConfInternal

class QZeroConfPrivate
{
    Q_DECLARE_PUBLIC(QZeroConf)

public:
    explicit QZeroConfPrivate(QZeroConf *q);
    ~QZeroConfPrivate();

    // Reports a request that never got going: one warning, and the error signal from
    // the event loop, after the caller's call has returned.
    void refuse(QZeroConf::error_t code, const QString &message);

    void publicationFailed(QZeroConf::error_t code, const QString &reason);
    void withdraw();

    void browserFailed(const QString &reason);
    void report(QZeroConfInternal::ServiceTable::Change change, const QString &instanceKey);
    void dropBrowser();

    QZeroConf *q_ptr;
    QString errorString;
    QZeroConfInternal::TxtEntries txt;
    QList<QPair<QByteArray, quint16>> moreTypes;
    QList<int> interfaces; // indexes; empty: all
    // Set when setNetworkInterfaces() was given one that does not exist: an empty list
    // would mean every interface, the opposite of what was asked.
    QString interfaceProblem;
    std::unique_ptr<QZeroConfInternal::Publication> publication;
    // The same publication in the site's DNS, beside the mDNS one; never instead of it.
    QZeroConfInternal::WideAreaSettings wideAreaSettings;
    std::unique_ptr<QZeroConfInternal::WideAreaPublication> wideArea;

    std::unique_ptr<QZeroConfInternal::Browser> browser;
    QZeroConfInternal::WideAreaBrowseSettings wideAreaBrowse;
    QString browseDomainProblem; // set by setBrowseDomains(), told by startBrowser()
    QZeroConfInternal::ServiceTable table;
    QHash<QString, QZeroConfService> services; // the latest snapshot handed out, by instance
};

#endif
