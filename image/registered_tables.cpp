#include "registered_tables.h"

#include <algorithm>

namespace tavo_image {

std::set<std::string> registeredNamespaces(const Registrations &registrations)
{
    std::set<std::string> names = registrations.namespaces;
    for (const auto &f : registrations.functions)
        names.insert(std::get<0>(f));
    return names;
}

RegisteredTables registeredTables(const Registrations &registrations, const std::set<std::string> &namespaces,
                                  const DynamicValues &dynamic, StringTable &strings)
{
    std::map<std::string, std::vector<std::pair<std::string, uint32_t>>> dynamicByNamespace;
    for (const auto &entry : dynamic) {
        const std::string nsName = strings.text(static_cast<uint32_t>(entry.first >> 32));
        if (namespaces.count(nsName) != 0)
            dynamicByNamespace[nsName].emplace_back(strings.text(static_cast<uint32_t>(entry.first)), entry.second);
    }
    RegisteredTables t;
    for (const std::string &name : namespaces) {
        NamespaceRecord r{strings.intern(name), count32(t.dynamics.size()), 0, 0, 0};
        auto &variables = dynamicByNamespace[name];
        std::sort(variables.begin(), variables.end());
        for (const auto &v : variables)
            t.dynamics.push_back(PairRecord{strings.intern(v.first), v.second});
        r.dynamicCount = count32(variables.size());
        r.functionStart = count32(t.functions.size());
        for (auto it = registrations.functions.lower_bound(std::make_tuple(name, std::string(), std::string()));
             it != registrations.functions.end() && std::get<0>(*it) == name; ++it)
            t.functions.push_back(PairRecord{strings.intern(std::get<1>(*it)), strings.intern(std::get<2>(*it))});
        r.functionCount = count32(t.functions.size()) - r.functionStart;
        t.namespaces.push_back(r);
    }
    for (const auto &u : registrations.uidNames)
        t.uids.push_back(PairRecord{strings.intern(u.first), u.second});
    for (const std::string &k : registrations.kmods)
        t.kmods.push_back(strings.intern(k));
    for (const std::string &d : registrations.devices)
        t.devices.push_back(strings.intern(d));
    return t;
}

} // namespace tavo_image
