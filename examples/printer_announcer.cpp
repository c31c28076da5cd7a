// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// Announces an IPP Everywhere printer under one name with two types and two subtypes,
// and sends its TXT anew whenever its state changes: here every few seconds, from
// "idle" to "processing" and back, as a real printer would on a job.
//
//   printer_announcer [NAME] [INTERFACE]
//
// Ends on SIGINT or SIGTERM, with goodbyes.

#include "qzeroconf"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QByteArray name = argc > 1 ? QByteArray(argv[1]) : QByteArrayLiteral("Example Printer");

    QZeroConf printer;
    if (argc > 2)
        printer.setNetworkInterfaces(
            {QNetworkInterface::interfaceFromName(QString::fromLocal8Bit(argv[2]))});

    int state = 3; // printer-state: 3 idle, 4 processing
    auto setTxt = [&] {
        printer.clearServiceTxtRecords();
        printer.addServiceTxtRecord(QStringLiteral("txtvers"), QStringLiteral("1"));
        printer.addServiceTxtRecord(QStringLiteral("rp"), QStringLiteral("ipp/print"));
        printer.addServiceTxtRecord(QStringLiteral("ty"), QStringLiteral("Example Printer"));
        printer.addServiceTxtRecord(QStringLiteral("pdl"),
                                    QStringLiteral("application/pdf,image/pwg-raster"));
        printer.addServiceTxtRecord(QStringLiteral("printer-state"), QString::number(state));
    };
    setTxt();
    // The LPD queue under the same name: renamed with the IPP service on a conflict.
    printer.addServiceType("_printer._tcp", 515);

    QObject::connect(&printer, &QZeroConf::servicePublished, [&] {
        std::printf("published as \"%s\"\n", qPrintable(printer.publishedName()));
        std::fflush(stdout);
    });
    QObject::connect(&printer, &QZeroConf::error, [&](QZeroConf::error_t) {
        std::fprintf(stderr, "%s\n", qPrintable(printer.errorString()));
        QCoreApplication::exit(1);
    });

    QTimer jobs;
    QObject::connect(&jobs, &QTimer::timeout, [&] {
        state = state == 3 ? 4 : 3;
        setTxt();
        printer.updateServiceTxtRecords();
        std::printf("printer-state %d\n", state);
        std::fflush(stdout);
    });
    jobs.start(5000);

    printer.startServicePublish(name.constData(), "_ipp._tcp,_universal,_print", "", 631);
    return app.exec();
}
