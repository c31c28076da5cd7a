// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// Prints the instances of one service type as they come, change and go.
//
//   service_browser [TYPE]      TYPE: "_ipp._tcp" (the default), or with a subtype,
//                               "_ipp._tcp,_universal"

#include "qzeroconf"

#include <QCoreApplication>

#include <cstdio>

namespace {

void print(const char *what, const QZeroConfService &s)
{
    std::printf("%s \"%s\" %s at %s:%u (%s)\n", what, qPrintable(s->name()), qPrintable(s->type()),
                qPrintable(s->host()), unsigned(s->port()), qPrintable(s->ip().toString()));
    const auto txt = s->txt();
    for (auto it = txt.cbegin(); it != txt.cend(); ++it)
        std::printf("    %s=%s\n", it.key().constData(), it.value().constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QZeroConf browser;
    // Each signal carries a snapshot of its own: keeping one is safe, it never changes.
    QObject::connect(&browser, &QZeroConf::serviceAdded,
                     [](QZeroConfService s) { print("added", s); });
    QObject::connect(&browser, &QZeroConf::serviceUpdated,
                     [](QZeroConfService s) { print("updated", s); });
    QObject::connect(&browser, &QZeroConf::serviceRemoved,
                     [](QZeroConfService s) { print("removed", s); });
    QObject::connect(&browser, &QZeroConf::error, [&](QZeroConf::error_t) {
        std::fprintf(stderr, "%s\n", qPrintable(browser.errorString()));
        QCoreApplication::exit(1);
    });
    browser.startBrowser(QString::fromLocal8Bit(argc > 1 ? argv[1] : "_ipp._tcp"));
    return app.exec();
}
