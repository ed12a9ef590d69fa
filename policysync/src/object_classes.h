#ifndef TAVOPOLICYSYNC_OBJECT_CLASSES_H
#define TAVOPOLICYSYNC_OBJECT_CLASSES_H

#include <cstdint>
#include <string>

namespace tavo_policysync {

// Parent class name of an object type, or null when the type is unknown.
const char *parentClassOf(const std::string &type);
// Number of a capability named as in capabilities(7); false when unknown.
bool capabilityNumber(const std::string &name, uint64_t &number);

} // namespace tavo_policysync

#endif
