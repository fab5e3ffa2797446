#ifndef TESSARO_APPIDENTITY_H
#define TESSARO_APPIDENTITY_H

#include <QString>

// The identity under which every setting is stored.
namespace AppIdentity {
constexpr const char* kOrganisation = "Veloran";
constexpr const char* kApplication = "Tessaro Recorder";
constexpr const char* kVersion = "1.3";

inline QString organisation()
{
    return QString::fromLatin1(kOrganisation);
}
inline QString application()
{
    return QString::fromLatin1(kApplication);
}
} // namespace AppIdentity

#endif
