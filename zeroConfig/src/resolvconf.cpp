// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "resolvconf_p.h"

#include <QFile>

namespace QZeroConfInternal {

ResolverConfig parseResolvConf(const QByteArray &text)
{
    ResolverConfig config;
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &line : lines) {
        QList<QByteArray> words = line.simplified().split(' ');
        if (words.isEmpty() || words[0].isEmpty() || words[0].startsWith('#') ||
            words[0].startsWith(';'))
            continue;
        const QByteArray keyword = words.takeFirst();
        if (keyword == "nameserver" && !words.isEmpty()) {
            QHostAddress a;
            if (a.setAddress(QString::fromLatin1(words[0])))
                config.servers.append(a);
        } else if (keyword == "search" || keyword == "domain") {
            config.search.clear();
            for (const QByteArray &w : qAsConst(words)) {
                if (w.startsWith('#') || w.startsWith(';'))
                    break;
                if (w != "." && !config.search.contains(w))
                    config.search.append(w);
            }
        }
    }
    return config;
}

ResolverConfig systemResolverConfig()
{
    QFile conf(QStringLiteral("/etc/resolv.conf"));
    return parseResolvConf(conf.open(QIODevice::ReadOnly) ? conf.readAll() : QByteArray());
}

} // namespace QZeroConfInternal
