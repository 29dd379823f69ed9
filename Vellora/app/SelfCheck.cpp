#include "SelfCheck.h"

#include "HeadlessRunner.h"

namespace vellora {

int runSelfCheck()
{
    printOutputLine(QStringLiteral("selfcheck: not built yet"));
    return 1;
}

} // namespace vellora
