// Checks that every deliverable makes before it acts: is a name acceptable,
// is the tavo module present, is the host in three-mode, and may a root
// process act while three-mode is on. Complaints go to writeLog; nothing is
// printed and nothing throws.
#ifndef TAVO_INPUT_VALIDATOR_H
#define TAVO_INPUT_VALIDATOR_H

#include <cstdint>
#include <string>

#ifndef TAVO_CHECKS_EXPORT
#define TAVO_CHECKS_EXPORT
#endif

// 0 if `value` is a non-empty name of at most `maxLength` bytes of ASCII
// letters, digits, '_' and '-'; -1 (with a logged reason naming `label`)
// otherwise.
TAVO_CHECKS_EXPORT int32_t validate_name_param(const std::string &value, uint64_t maxLength,
                                               const std::string &label);

// Whether process `pid` is in the pid namespace of process 1.
TAVO_CHECKS_EXPORT bool isInitPidNamespace(int pid);

// Whether the tavo module's securityfs directory exists (logs when not).
TAVO_CHECKS_EXPORT bool is_tavo_module_loaded();
// The same, without the line: for a caller that budgets its lines.
bool tavoModulePresent();
// The line is_tavo_module_loaded logs when the module is absent.
extern const char moduleAbsentLine[];

// Whether the module's three-mode switch is on (false when it is off, absent
// or in an unknown state; see readThreeModeSwitch).
TAVO_CHECKS_EXPORT bool isThreeModeEnabled();

// The three-mode switch as the daemon and the sync command need it. A switch
// that does not exist (no module, or a module without role separation) is
// Off; one that holds exactly "0" or "1", alone or followed by "\n" or
// "\r\n", is Off or On. Anything else, a switch that cannot be opened or read
// or holds other contents, is Unreadable: neither on nor off, so that
// nobody may act, and `reason` then says why.
enum class ThreeModeSwitch { Off, On, Unreadable };
ThreeModeSwitch readThreeModeSwitch(std::string &reason);

// Whether a caller with this uid, pid and executable path may act while
// three-mode is on: root, in the pid namespace, the mount namespace and
// under the root directory of process 1, running one of the whitelisted
// programs. (A private mount namespace could bind any program over a
// whitelisted path.)
TAVO_CHECKS_EXPORT bool isAllowedInThreeMode(uint32_t uid, int32_t pid, const std::string &exePath);

#endif
