#ifndef QZEROCONF_TERMINATIONGUARD_P_H
#define QZEROCONF_TERMINATIONGUARD_P_H

#include <functional>

namespace QZeroConfInternal {

// A device switched off with SIGTERM must not linger in every client's list for the
// records' lifetime (75 minutes for PTR and TXT). While at least one publication is
// held, SIGTERM, SIGINT and SIGHUP, where they still have their default action, are
// caught: the handler only writes to a self-pipe; the event loop then withdraws every
// held publication (goodbyes go out), restores the default action and raises the
// signal again, so the process still ends by that signal.
//
// Signals that the application handles or ignores itself (nohup, for example) are left
// alone. Must be used from the thread that runs the event loop.
namespace TerminationGuard {

void hold(const void *holder, std::function<void()> withdraw);
void release(const void *holder);

} // namespace TerminationGuard

} // namespace QZeroConfInternal

#endif
