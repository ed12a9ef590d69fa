// The daemon's one service object: the five methods of
// com.norda.zupolicy.policymgr, each authorised through checkAuth. Nothing
// here waits on another process: the bus daemon and polkit are asked
// without waiting and each call is answered once its verdict and its
// operation are done; operations run one at a time on the worker, in the
// order their calls arrived.
#ifndef TAVO_POLICYMGR_SERVICE_H
#define TAVO_POLICYMGR_SERVICE_H

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QTimer>

#include "bus_name_births.h"
#include "call_limits.h"
#include "operation_worker.h"
#include "system_bus.h"

class DeliveryRecorder;

constexpr char policyServiceName[] = "com.norda.zupolicy";
constexpr char policyObjectPath[] = "/policymgr";
constexpr char policyInterfaceName[] = "com.norda.zupolicy.policymgr";
constexpr char policyActionId[] = "com.norda.zupolicy.access";
// The answer to a call that a cap refuses, the one D-Bus error of ours.
constexpr char limitsExceededError[] = "org.freedesktop.DBus.Error.LimitsExceeded";

// Result codes of the methods besides the pipeline's and the library's.
enum MethodResult : int {
    MethodSucceeded = 0,
    MethodRefusedInput = -1, // module absent, bad name or value
    MethodCompileFailed = 5,
    MethodNotAuthorised = -100,
};

struct ImageTarget;

// The authorised caller of a policy operation.
struct CallerIdentity {
    uint32_t uid;
    std::string sender;
};

// One incoming method call, to be answered once. Copies share the call;
// used on the event-loop thread only.
class MethodCall {
public:
    // A call from the bus, answered through `bus`.
    MethodCall(sd_bus_message *message, SystemBus *bus);
    // A call made directly, outside any bus message: no sender; the result
    // goes to `answer`.
    explicit MethodCall(std::function<void(int)> answer);
    MethodCall(const MethodCall &other);
    MethodCall &operator=(const MethodCall &other);
    ~MethodCall();

    // The caller's unique bus name, empty outside the bus.
    std::string sender() const;
    void reply(int result) const;
    void refuseOverLimit(LimitReason reason) const;

private:
    sd_bus_message *message_ = nullptr;
    SystemBus *bus_ = nullptr;
    std::function<void(int)> answer_;
};

class ZupolicyPolicymgrService {
public:
    // Serves on `bus` (logs when it is not connected; the service is still
    // made), recording what it delivers through `recorder` (not owned).
    ZupolicyPolicymgrService(SystemBus &bus, DeliveryRecorder &recorder);
    ~ZupolicyPolicymgrService();
    ZupolicyPolicymgrService(const ZupolicyPolicymgrService &) = delete;
    ZupolicyPolicymgrService &operator=(const ZupolicyPolicymgrService &) = delete;

    // Starts following the connections on the bus, without waiting; to be
    // called before the name is claimed. False when it cannot be asked.
    bool followConnections();
    // Ends serving: the running operation finishes and is answered, the
    // operations not started are dropped.
    void stop();

    // A call that arrived on the service's bus.
    MethodCall incoming(sd_bus_message *message) { return MethodCall(message, connection); }

    // The five methods. Each answers `call` once, at once or later.
    void compilePolicy(MethodCall call);
    void compileInitPolicy(MethodCall call);
    void compileSectionPolicy(MethodCall call, std::string_view ns_name, std::string_view sec_name);
    void sendPolicy(MethodCall call);
    void modifyDynamicVariable(MethodCall call, std::string_view ns_name, std::string_view var_name,
                               int32_t var_value);

private:
    using Operation = std::function<int(const CallerIdentity &)>;
    // A name argument of a method, for the refusal of over-long names.
    struct NameArgument {
        std::string_view value;
        const char *label;       // as validate_name_param names it
        const char *refusedLine; // the handler's line when it is refused
    };
    enum class Verdict { Allowed, Refused, OverLimit };
    struct AuthState;
    // A call admitted and not yet answered.
    struct Admitted {
        MethodCall call;
        const char *method;
        std::string sender;
        size_t bytes;
        // The uid it is counted under in the limits, once known.
        std::optional<uint32_t> uid;
        Operation operation;
        std::optional<CallerIdentity> authorised;
        bool handedOver = false;
        // Its authorisation; the question still out goes with it.
        std::shared_ptr<AuthState> auth;
    };
    // Polkit's verdict, and the line it is to be logged with.
    struct PolkitAnswer {
        bool authorised = false;
        std::string reason;
        int logLevel = 0; // none
        std::string logLine;
    };
    using AuthDone = std::function<void(Verdict, uint32_t uid, LimitReason limit)>;
    using PolkitDone = std::function<void(PolkitAnswer)>;
    using Credentials = BusNameBirths::Credentials;
    // The calls of one connection waiting for the bus daemon to name its
    // uid: one question a connection, whatever the number of its calls.
    struct IdentityWait {
        std::vector<uint64_t> calls;
        bool asked = false;
        BusSlot question;
    };

    // The caps, the refusal budget of the uid when known, the module check
    // and names over the length limit: the guard every method passes before
    // it is authorised. The refusals here answer at once, without asking
    // the bus daemon or polkit. Returns the admitted call's sequence
    // number.
    std::optional<uint64_t> admit(const MethodCall &call, const char *method, bool checkModule,
                                  std::initializer_list<NameArgument> names, size_t argumentBytes);
    // Authorises an admitted call; `operation` runs once it is authorised
    // and every earlier call is handed over or refused.
    void authorise(uint64_t sequence, Operation operation);
    void authorised(uint64_t sequence, Verdict verdict, uint32_t uid, LimitReason limit);
    void runReadyOperations();
    void finished(uint64_t sequence, int result);
    void reportRefusals();
    void returnFreeMemorySoon();

    // The policy operations, run on the worker for an authorised caller.
    int compileAll(const CallerIdentity &caller, const char *startLine, bool initial);
    int compileSection(const CallerIdentity &caller, const std::string &ns, const std::string &section);
    int deliver(const CallerIdentity &caller);
    int modifyVariable(const CallerIdentity &caller, const std::string &ns, const std::string &var,
                       int32_t value);

    // Authorisation (caller_auth.cpp).
    static std::string callerSender(const MethodCall &call);
    // Starts the check of an admitted call: its uid from what the bus
    // daemon told of the connection, asked once a connection; then polkit,
    // a bounded number of questions at once, taken from the uids in turn;
    // then the role. A call's lines are kept until its verdict, and written
    // whole: always when it is taken, within the log budget when refused.
    void checkAuth(std::string sender, const char *method, uint64_t sequence, AuthDone done);
    void identityAnswered(const std::string &sender, std::optional<Credentials> credentials,
                          const std::string &problem);
    void authAfterUid(uint64_t sequence, std::optional<Credentials> credentials, const std::string &problem);
    void polkitAnswered(const std::shared_ptr<AuthState> &state, PolkitAnswer answer);
    void authAfterPolkit(const std::shared_ptr<AuthState> &state);
    void authAfterPid(const std::shared_ptr<AuthState> &state, std::optional<uint32_t> pid);
    void authGuarded(const std::shared_ptr<AuthState> &state, const std::function<void()> &step);
    // Asks what may be asked now: identities of new connections, then
    // polkit for identified calls, within the bounds on questions out.
    void askWhatWaits();
    void askIdentity(const std::string &sender);
    // A connection left the bus: its calls still waiting for its uid need
    // no question, there is none to give.
    void connectionGone(const std::string &sender);
    // Refuses the newest call of `sender` still waiting for its uid.
    void dropUnidentifiedCall(const std::string &sender);
    void askPolkit(uint64_t sequence);
    std::optional<uint64_t> nextForPolkit();
    // Logs nothing: the answer carries its line.
    void checkPolkitAuthorization(const std::string &sender, const std::string &actionId, PolkitDone done,
                                  BusSlot &pending);
    // Empty on failure, with the line that says why in `problem`.
    static std::string getExePath(int32_t pid, std::string &problem);
    // Writes a call's lines kept so far; their number.
    static void writeLines(const std::shared_ptr<AuthState> &state);
    static size_t linesOf(const std::shared_ptr<AuthState> &state);

    // The directory run of a compile towards `target` (DirectoryOverModuleLimits
    // when the run, read ahead, is beyond what the module takes).
    int processPolicyDirectory(bool initFunctions, const ImageTarget &target);

    SystemBus *connection;
    DeliveryRecorder &recorder_;
    BusNameBirths births_;
    CallLimits limits_;
    OperationWorker worker_;
    uint64_t nextSequence_ = 0;
    // Admitted calls by arrival; each leaves when answered. The worker
    // takes them in this order, each once it is authorised and every
    // earlier one is handed over or refused.
    std::map<uint64_t, Admitted> admitted_;
    // Connections whose uid is being asked or waits to be, in arrival order.
    std::map<std::string, IdentityWait> identityWaits_;
    std::deque<std::string> identityQueue_;
    size_t identityQuestions_ = 0;
    // Identified calls waiting for polkit, by uid, each uid's in arrival
    // order; the uids take turns.
    std::map<uint32_t, std::deque<uint64_t>> polkitQueue_;
    std::map<uint32_t, size_t> polkitQuestionsOf_;
    size_t polkitQuestions_ = 0;
    std::optional<uint32_t> lastPolkitUid_;
    bool asking_ = false;
    bool askAgain_ = false;
    QTimer refusalSecond_;
    QTimer returnMemory_;
    bool stopped_ = false;
};

#endif
