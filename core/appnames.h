#pragma once

#include <QString>

// The two executables' file names, used wherever one program looks for, starts or ends the other.
namespace Kavo {
inline QString mainExecutableName()
{
    return QStringLiteral("Kavo.V5");
}
inline QString updaterExecutableName()
{
    return QStringLiteral("Kavo.Update");
}
} // namespace Kavo
