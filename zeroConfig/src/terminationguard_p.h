// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_TERMINATIONGUARD_P_H
#define QZEROCONF_TERMINATIONGUARD_P_H

#include <functional>

class QObject;

namespace QZeroConfInternal {

// A device switched off with SIGTERM must not linger in every client's list for the
// records' lifetime (75 minutes for PTR and TXT). While at least one publication is
// held, SIGTERM, SIGINT and SIGHUP, where they still have their default action, are
// caught. The first one caught is withdrawn from and then delivered again:
//
//  - The handler puts all three back to their default action at once, so a second
//    terminating signal ends the process even while an event loop is blocked.
//  - A thread of the guard's own, which never runs the handler, wakes from a self-pipe
//    and posts each holder's withdrawal to the holder's own thread; it runs as soon as
//    that thread's event loop does. When the last holder has been released, the signal
//    is raised again and the process ends by it.
//  - An action is put back only while it is still our handler: whatever the
//    application installed meanwhile stays, and gets the re-raised signal.
//  - A child forked without exec does not act for its parent: there the handler puts
//    the default action back and raises the signal again.
//
// Signals that the application handles or ignores itself (nohup, for example) are left
// alone.
namespace TerminationGuard {

// holder: the object whose thread runs withdraw, at most once per signal; hold() and
// release() are called on that thread. The holder gets a small child object, which the
// withdrawal is posted to. It counts as released once withdraw has returned, and when it
// is destroyed. Holding again only replaces withdraw.
void hold(QObject *holder, std::function<void()> withdraw);
void release(QObject *holder);

} // namespace TerminationGuard

} // namespace QZeroConfInternal

#endif
