// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// A program that loads the host daemon's client library ahead of the component, as
// every program does that links the printing library: it publishes, stops and exits.
// Prints "published" or "error N", then "stopped".

#include "qzeroconf"

#include <QCoreApplication>

#include <cstdio>

#if defined(AHEAD_CUPS)
#include <cups/cups.h>
#else
#include <avahi-client/client.h>
#endif

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Use the library, so that the linker keeps it where it was put: first.
#if defined(AHEAD_CUPS)
    std::printf("ahead: cups (%d)\n", cupsEncryption() >= 0);
#else
    void *volatile used = reinterpret_cast<void *>(&avahi_client_free);
    std::printf("ahead: avahi-client (%d)\n", used != nullptr);
#endif
    QZeroConf zc;
    auto finish = [&] {
        zc.stopServicePublish();
        std::puts("stopped");
        std::fflush(stdout);
        app.quit();
    };
    QObject::connect(&zc, &QZeroConf::servicePublished, [&] {
        std::puts("published");
        finish();
    });
    QObject::connect(&zc, &QZeroConf::error, [&](QZeroConf::error_t e) {
        std::printf("error %d\n", int(e));
        finish();
    });
    zc.startServicePublish(argc > 1 ? argv[1] : "Load Order", "_printer._tcp", "loadorder", 5853);
    return app.exec();
}
