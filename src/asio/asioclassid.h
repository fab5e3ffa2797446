#ifndef TESSARO_ASIOCLASSID_H
#define TESSARO_ASIOCLASSID_H

#include "asiodrivers.h"

#include <QString>

// Class identifiers in their registry text form "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
// (hexadecimal digits in either case). The 16 bytes are kept in the order the digits appear.

// Parses at most `maxLength` characters of text; false (and clsid untouched) unless the text
// is exactly one class identifier.
bool parseAsioClassId(const char* text, AsioClassId* clsid, int maxLength = 100);

// Lower-case text form of a class identifier.
QString asioClassIdText(const AsioClassId& clsid);

#endif
