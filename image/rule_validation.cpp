#include "rule_validation.h"

#include <tuple>
#include <unordered_set>

#include "expr_type.h"

namespace tavo_image {

namespace {

// Effect of one condition node on the evaluation stack: operands taken,
// 0 for a node that pushes a value; -1 for an unknown type.
int operandsOf(uint32_t type)
{
    switch (type) {
    case ExprNot: return 1;
    case ExprAnd:
    case ExprOr:
    case ExprGreater:
    case ExprLess:
    case ExprEqual:
    case ExprLessEqual:
    case ExprGreaterEqual:
    case ExprNotEqual: return 2;
    case ExprCall:
    case ExprVariable:
    case ExprDynamicVariable: return 0;
    default: return -1;
    }
}

} // namespace

int validateRules(const std::vector<uint32_t> &rules, const RecordTables &records, const StringTable &strings,
                  const Registrations &registrations, const RulePlace &where, std::string &error)
{
    std::unordered_set<uint32_t> namespaces;
    for (const std::string &ns : registrations.namespaces) {
        const uint32_t index = strings.find(ns);
        if (index != noString)
            namespaces.insert(index);
    }
    std::unordered_set<uint64_t> functions;
    for (const auto &f : registrations.functions) {
        const uint32_t ns = strings.find(std::get<0>(f));
        const uint32_t name = strings.find(std::get<2>(f));
        if (ns != noString && name != noString)
            functions.insert(pairKey(ns, name));
    }
    const auto registered = [&](uint32_t rule, uint32_t name) {
        const RuleRecord &r = records.rules[rule];
        if (functions.count(pairKey(r.namespaceName, name)) != 0)
            return true;
        error = where(rule) + ": function " + strings.text(name) + " is not registered for namespace " +
                strings.text(r.namespaceName);
        return false;
    };

    for (const uint32_t index : rules) {
        const RuleRecord &r = records.rules[index];
        if (namespaces.count(r.namespaceName) == 0) {
            error = where(index) + ": namespace \"" + strings.text(r.namespaceName) + "\" was never declared";
            return 22;
        }
        int depth = 0;
        for (uint32_t i = r.exprStart; i < r.exprStart + r.exprCount; ++i) {
            const ExprRecord &e = records.exprs[i];
            const int operands = operandsOf(e.type);
            if (operands < 0) {
                error = where(index) + ": condition node " + std::to_string(i - r.exprStart + 1) +
                        " has unknown type " + std::to_string(e.type);
                return 22;
            }
            if (depth < operands || (e.type == ExprDynamicVariable && strings.text(e.varName).empty())) {
                error = where(index) + ": condition node " + std::to_string(i - r.exprStart + 1) +
                        (depth < operands ? " lacks operands" : " names no variable");
                return 22;
            }
            // The module keeps a dynamic variable as a switch.
            if (e.type == ExprDynamicVariable && e.value > 1) {
                error = where(index) + ": dynamic variable " + strings.text(e.varName) + " starts at " +
                        std::to_string(e.value) + ", not 0 or 1";
                return 22;
            }
            depth = depth - operands + 1;
            if (e.type == ExprCall && !registered(index, e.name))
                return 22;
        }
        if (r.exprCount != 0 && depth != 1) {
            error = where(index) + ": condition leaves " + std::to_string(depth) + " values, expected 1";
            return 22;
        }
        for (uint32_t i = r.callStart; i < r.callStart + r.callCount; ++i) {
            if (!registered(index, records.calls[i].name))
                return 22;
        }
    }
    return 0;
}

} // namespace tavo_image
