// The tables of what files registered while they were parsed: namespaces
// with their dynamic variables and functions, uid names, kmods, devices.
#ifndef TAVO_REGISTERED_TABLES_H
#define TAVO_REGISTERED_TABLES_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "image_format.h"
#include "string_table.h"

namespace tavo_image {

// Compile-side facts registered while files were parsed.
struct Registrations {
    std::set<std::string> namespaces;
    std::set<std::tuple<std::string, std::string, std::string>> functions; // namespace, module, function
    std::map<std::string, uint32_t> uidNames;
    std::set<std::string> kmods;
    std::set<std::string> devices;
};

// pairKey(namespace, variable) -> value of the first dynamic variable node
// met.
using DynamicValues = std::unordered_map<uint64_t, uint32_t>;

struct RegisteredTables {
    std::vector<NamespaceRecord> namespaces;
    std::vector<PairRecord> dynamics;
    std::vector<PairRecord> functions;
    std::vector<PairRecord> uids;
    std::vector<uint32_t> kmods;
    std::vector<uint32_t> devices;
};

// The namespaces of an image of everything: those declared and those a
// function is registered for.
std::set<std::string> registeredNamespaces(const Registrations &registrations);

// The tables of `namespaces` (ordered by name) and of the library-wide
// registrations, their strings interned in that order.
RegisteredTables registeredTables(const Registrations &registrations, const std::set<std::string> &namespaces,
                                  const DynamicValues &dynamic, StringTable &strings);

} // namespace tavo_image

#endif
