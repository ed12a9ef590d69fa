// The daemon's one service object: the five methods of
// com.norda.zupolicy.policymgr, wired to the admission, the authorisation
// and the operations. Nothing here waits on another process: each call is
// answered once its verdict and its operation are done; operations run one
// at a time on the worker, in the order their calls arrived.
#ifndef TAVO_POLICYMGR_SERVICE_H
#define TAVO_POLICYMGR_SERVICE_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <QTimer>

#include "admission.h"
#include "authorisation.h"
#include "method_call.h"
#include "operation_worker.h"
#include "operations.h"
#include "system_bus.h"

class DeliveryRecorder;

constexpr char policyServiceName[] = "com.norda.zupolicy";
constexpr char policyObjectPath[] = "/policymgr";
constexpr char policyInterfaceName[] = "com.norda.zupolicy.policymgr";

class ZupolicyPolicymgrService {
public:
    // Serves on `bus` (logs when it is not connected; the service is still
    // made), recording what it delivers through `recorder` (not owned); asks
    // who calls, and whether they may, over `questions` when given, else
    // over `bus`.
    ZupolicyPolicymgrService(SystemBus &bus, DeliveryRecorder &recorder, SystemBus *questions = nullptr);
    ~ZupolicyPolicymgrService();
    ZupolicyPolicymgrService(const ZupolicyPolicymgrService &) = delete;
    ZupolicyPolicymgrService &operator=(const ZupolicyPolicymgrService &) = delete;

    // Starts following the connections on the bus, without waiting; to be
    // called before the name is claimed. False when it cannot be asked.
    bool followConnections() { return authorisation_.followConnections(); }
    // Ends serving: the running operation finishes and is answered, the
    // operations not started are dropped.
    void stop();

    // A call that arrived on the service's bus.
    MethodCall incoming(sd_bus_message *message) { return MethodCall(message, connection_); }

    // The five methods. Each answers `call` once, at once or later.
    void compilePolicy(MethodCall call);
    void compileInitPolicy(MethodCall call);
    void compileSectionPolicy(MethodCall call, std::string_view ns_name, std::string_view sec_name);
    void sendPolicy(MethodCall call);
    void modifyDynamicVariable(MethodCall call, std::string_view ns_name, std::string_view var_name,
                               int32_t var_value);

private:
    using Operation = std::function<int(const CallerIdentity &)>;
    using Verdict = Authorisation::Verdict;
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
    };

    // The guard every method passes before it is authorised; the admitted
    // call's sequence number.
    std::optional<uint64_t> admit(const MethodCall &call, const char *method, bool checkModule,
                                  std::initializer_list<NameArgument> names, size_t argumentBytes);
    // Authorises an admitted call; `operation` runs once it is authorised
    // and every earlier call is handed over or refused.
    void authorise(uint64_t sequence, Operation operation);
    std::optional<LimitReason> identified(uint64_t sequence, uint32_t uid);
    void authorised(uint64_t sequence, Verdict verdict, uint32_t uid, LimitReason limit, const AuthLines &lines);
    // Refuses the newest call of `sender` still waiting for its uid.
    void dropUnidentifiedCall(const std::string &sender);
    void runReadyOperations();
    void finished(uint64_t sequence, int result);
    void returnFreeMemorySoon();

    SystemBus *connection_;
    Authorisation authorisation_;
    Admission admission_;
    Operations operations_;
    OperationWorker worker_;
    uint64_t nextSequence_ = 0;
    // Admitted calls by arrival; each leaves when answered. The worker
    // takes them in this order, each once it is authorised and every
    // earlier one is handed over or refused.
    std::map<uint64_t, Admitted> admitted_;
    QTimer returnMemory_;
    bool stopped_ = false;
};

#endif
