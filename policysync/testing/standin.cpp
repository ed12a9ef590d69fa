#include "standin.h"

void setPolicySyncJournal(PolicyModuleManagerInterface &manager, bool on)
{
    auto &impl = policySyncImpl(manager);
    impl.journalOn = on;
    if (!on)
        impl.journal.clear();
}

const std::vector<PolicySyncCall> &policySyncJournal(PolicyModuleManagerInterface &manager)
{
    return policySyncImpl(manager).journal;
}
