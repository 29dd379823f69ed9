#include "SelfCheck.h"

#include "HeadlessRunner.h"

#include "platform/Console.h"

namespace vellora {

int runSelfCheck()
{
    printLine(QStringLiteral("selfcheck: not built yet"));
    return 1;
}

} // namespace vellora
