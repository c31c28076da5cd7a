// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// Built against an installed QtZeroConf: the headers, the library and its Qt all have to
// be found the way an application outside this project finds them.
#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <qzeroconf>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QZeroConf zeroConf;
    zeroConf.addServiceTxtRecord(QStringLiteral("k"), QStringLiteral("v"));
    bool refused = false;
    QObject::connect(&zeroConf, &QZeroConf::error, &app, [&](QZeroConf::error_t e) {
        refused = e == QZeroConf::serviceRegistrationFailed;
        app.quit();
    });
    QTimer::singleShot(5000, &app, &QCoreApplication::quit);
    // An invalid type is refused before anything goes on the network.
    zeroConf.startServicePublish("Package Check", "not-a-type", "", 5853);
    app.exec();
    QTextStream(stdout) << (refused && !zeroConf.publishExists() ? "consumer ok"
                                                                 : "consumer FAILED")
                        << Qt::endl;
    return refused ? 0 : 1;
}
