// Test-only inspection of the stand-in policy-sync library: the journal of
// calls made into it. Neither installed nor exported by the shared library;
// tests link the library's objects and this (target tavopolicysynctesting).
// What was added is inspected through the compiled image (lastCompiled and
// tavo_image::decodeImage).
#ifndef TAVOPOLICYSYNC_STANDIN_H
#define TAVOPOLICYSYNC_STANDIN_H

#include <vector>

#include "manager_impl.h"

// Starts (or with `on` false stops and empties) recording every call.
void setPolicySyncJournal(PolicyModuleManagerInterface &manager, bool on);
const std::vector<PolicySyncCall> &policySyncJournal(PolicyModuleManagerInterface &manager);

#endif
