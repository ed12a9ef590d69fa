/* Client interface of the tavo policy daemon (libtavointerpreter).
 *
 * Each function makes one blocking call on the system bus to the daemon
 * "com.norda.zupolicy" and returns the daemon's result code: 0 on success,
 * the daemon's own non-zero code on failure, or -1 when the arguments were
 * refused or the call could not be made or answered (the reason goes to the
 * system log). The functions may be called from any thread; no event loop
 * is needed. Names are NUL-terminated byte strings of at most 512 ASCII
 * letters, digits, '_' and '-'; the caller keeps ownership of them.
 *
 * A call that is not answered within the bus library's reply timeout
 * (25 s) returns -1, but the request may still be waiting in the daemon's
 * queue (behind a slow polkit, a long compile, or a daemon that was stopped
 * for a while) and be carried out later, with nobody told. After a -1 from
 * a timeout, check what the kernel module holds, or simply call again:
 * every function is idempotent, except that a late sendPolicy() replaces
 * the policy in force with whatever the daemon compiled last at that
 * moment. */
#ifndef TAVOINTERPRETER_H
#define TAVOINTERPRETER_H

#define TAVOINTERPRETER_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Compiles every policy file of the policy directory. */
TAVOINTERPRETER_API int compilePolicy(void);

/* Compiles the policy directory into the initial policy. */
TAVOINTERPRETER_API int compileInitPolicy(void);

/* Delivers the policy the daemon compiled last to the kernel module. */
TAVOINTERPRETER_API int sendPolicy(void);

/* Compiles the section `sec_name` of the namespace `ns_name`. */
TAVOINTERPRETER_API int compileSectionPolicy(const char *ns_name, const char *sec_name);

/* Sets the dynamic variable `var_name` of the namespace `ns_name` to
 * `var_value` (the daemon accepts 0 and 1). */
TAVOINTERPRETER_API int modifyDynamicVariable(const char *ns_name, const char *var_name, int var_value);

#ifdef __cplusplus
}
#endif

#endif
