// The daemon's one service object: the five methods of
// com.norda.zupolicy.policymgr, each authorised through checkAuth.
#ifndef TAVO_POLICYMGR_SERVICE_H
#define TAVO_POLICYMGR_SERVICE_H

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>

constexpr char policyServiceName[] = "com.norda.zupolicy";
constexpr char policyObjectPath[] = "/policymgr";
constexpr char policyInterfaceName[] = "com.norda.zupolicy.policymgr";
constexpr char policyActionId[] = "com.norda.zupolicy.access";

// Result codes of the methods besides the pipeline's and the library's.
enum MethodResult : int {
    MethodSucceeded = 0,
    MethodRefusedInput = -1, // module absent, bad name or value
    MethodCompileFailed = 5,
    MethodNotAuthorised = -100,
};

class ZupolicyPolicymgrService : public QObject, public QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.norda.zupolicy.policymgr")

public:
    ZupolicyPolicymgrService();
    ~ZupolicyPolicymgrService() override;

    // The process-wide instance, created on first use.
    static ZupolicyPolicymgrService &instance();

public Q_SLOTS:
    Q_SCRIPTABLE int compilePolicy();
    Q_SCRIPTABLE int compileInitPolicy();
    Q_SCRIPTABLE int compileSectionPolicy(const QString &ns_name, const QString &sec_name);
    Q_SCRIPTABLE int sendPolicy();
    Q_SCRIPTABLE int modifyDynamicVariable(const QString &ns_name, const QString &var_name, int var_value);

private:
    // A name argument of a method, for the refusal of over-long names.
    struct NameArgument {
        const QString &value;
        const char *label;       // as validate_name_param names it
        const char *refusedLine; // the handler's line when it is refused
    };

    // Module check (unless skipped), names over the length limit, then
    // authorisation: the one guard every method passes. The first two
    // answer at once, without asking the bus daemon or polkit. Returns 0 to
    // go on, otherwise the method's result.
    int admit(const char *method, bool checkModule, std::initializer_list<NameArgument> names = {});
    int compileAll(const char *method, const char *startLine, bool initial);

    std::string callerSender() const;
    bool checkAuth(const std::string &sender, const char *method);
    std::optional<uint32_t> getCallerUid(const std::string &sender);
    std::optional<uint32_t> getCallerPid(const std::string &sender);
    // Asks the bus daemon for a number about the sender (uid or pid).
    std::optional<uint32_t> askBusDaemon(const char *busMethod, const char *getter, const char *label,
                                         const std::string &sender);
    bool checkPolkitAuthorization(const std::string &sender, const std::string &actionId, std::string &reason);
    static std::string getExePath(int32_t pid);

    static int processPolicyDirectory(bool initFunctions);
    static void registerPolkitAuthResultType();

    QDBusConnection connection;
    std::string lastSender;
    // The uid of the caller checkAuth let in last: the caller of the call
    // being served once its guard passed.
    uint32_t authorisedUid = 0;
};

#endif
