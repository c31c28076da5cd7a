#include "daemonloader_p.h"

namespace QZeroConfInternal {

std::unique_ptr<Engine> loadDaemonEngine(QString *why)
{
    *why = QStringLiteral("built without the daemon backend");
    return nullptr;
}

} // namespace QZeroConfInternal
