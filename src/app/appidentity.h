#ifndef TESSARO_APPIDENTITY_H
#define TESSARO_APPIDENTITY_H

// The identity under which every setting is stored.
namespace AppIdentity {
constexpr const char* kOrganisation = "Veloran";
constexpr const char* kApplication = "Tessaro Recorder";
constexpr const char* kVersion = "1.3";
} // namespace AppIdentity

#endif
