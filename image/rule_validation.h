// Whether the rules of an image hold: their namespace declared, their
// conditions well-formed postfix, their functions registered.
//
// These checks stay in the library, not in the front end: the library takes
// records from any caller through its compile calls, and refuses those that
// do not hold with the image's own file and rule (the front end's checks
// name lines of the text, which the library never sees).
#ifndef TAVO_RULE_VALIDATION_H
#define TAVO_RULE_VALIDATION_H

#include <cstdint>
#include <string>
#include <vector>

#include "record_tables.h"
#include "registered_tables.h"
#include "string_table.h"

namespace tavo_image {

// 0 if each of `rules` holds; 22 with `error` on the first that does not.
int validateRules(const std::vector<uint32_t> &rules, const RecordTables &records, const StringTable &strings,
                  const Registrations &registrations, const RulePlace &where, std::string &error);

} // namespace tavo_image

#endif
