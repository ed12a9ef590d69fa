// Who is calling, and may they act: the bus daemon for the identity,
// polkit for the authorisation, three-mode for the role. Nothing here
// waits: the bus daemon is asked once a connection for its uid and pid
// (kept until the name goes), the uid's caps apply, and only then is
// polkit asked, a bounded number of questions at once, the uids taking
// turns. A call's lines are kept until its verdict and handed over with it.
#ifndef TAVO_AUTHORISATION_H
#define TAVO_AUTHORISATION_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bus_name_births.h"
#include "call_limits.h"
#include "system_bus.h"

// A call's lines from its authorisation (level, text), in the order of the
// steps; written whole, or counted, once its verdict is known.
using AuthLines = std::vector<std::pair<int, std::string>>;
void writeAuthLines(const AuthLines &lines);

class Authorisation {
public:
    enum class Verdict { Allowed, Refused, OverLimit };
    // The verdict on a call: the caller's uid (0 when unknown), the cap that
    // refused it when OverLimit, and its lines, not yet written.
    using Done = std::function<void(Verdict, uint32_t uid, LimitReason limit, AuthLines lines)>;
    // The uid of call `sequence` became known: the caps that then apply
    // refuse it with a reason, or let it go on to polkit.
    using Identified = std::function<std::optional<LimitReason>(uint64_t sequence, uint32_t uid)>;

    // Follows the connections on `bus`, whose calls it checks, and asks the
    // bus daemon and polkit over `questions` (which may be `bus`).
    Authorisation(SystemBus &bus, SystemBus &questions, Identified identified);
    ~Authorisation();
    Authorisation(const Authorisation &) = delete;
    Authorisation &operator=(const Authorisation &) = delete;

    // Starts following the connections on the bus, without waiting. False
    // when it cannot be asked.
    bool followConnections();
    // The uid of `sender` if the bus daemon told it already.
    std::optional<uint32_t> knownUid(const std::string &sender) const;

    // Starts the check of call `sequence` of `sender`; `done` gets its
    // verdict once, at once or later.
    void check(uint64_t sequence, std::string sender, const char *method, Done done);
    // Takes back the newest call of `sender` still waiting for its uid
    // (its verdict never comes); its sequence number.
    std::optional<uint64_t> dropNewestUnidentified(const std::string &sender);
    // Cancels every question out and forgets every call.
    void clear();

private:
    struct State;
    // Polkit's verdict, and the line it is to be logged with.
    struct PolkitAnswer {
        bool authorised = false;
        std::string reason;
        int logLevel = 0; // none
        std::string logLine;
    };
    using PolkitDone = std::function<void(PolkitAnswer)>;
    using Credentials = BusNameBirths::Credentials;
    // The calls of one connection waiting for the bus daemon to name its
    // uid: one question a connection, whatever the number of its calls.
    struct IdentityWait {
        std::vector<uint64_t> calls;
        bool asked = false;
        BusSlot question;
    };

    void identityAnswered(const std::string &sender, std::optional<Credentials> credentials,
                          const std::string &problem);
    void afterUid(uint64_t sequence, std::optional<Credentials> credentials, const std::string &problem);
    void polkitAnswered(const std::shared_ptr<State> &state, PolkitAnswer answer);
    void afterPolkit(const std::shared_ptr<State> &state);
    void afterPid(const std::shared_ptr<State> &state, std::optional<uint32_t> pid);
    void guarded(const std::shared_ptr<State> &state, const std::function<void()> &step);
    // Asks what may be asked now: identities of new connections, then
    // polkit for identified calls, within the bounds on questions out.
    void askWhatWaits();
    void askIdentity(const std::string &sender);
    // A connection left the bus: its calls still waiting for its uid need
    // no question, there is none to give.
    void connectionGone(const std::string &sender);
    void askPolkit(uint64_t sequence);
    std::optional<uint64_t> nextForPolkit();
    // Logs nothing: the answer carries its line.
    void checkPolkitAuthorization(const std::string &sender, const std::string &actionId, PolkitDone done,
                                  BusSlot &pending);
    // Empty on failure, with the line that says why in `problem`.
    static std::string getExePath(int32_t pid, std::string &problem);

    SystemBus *connection_;
    // A connection of its own when the daemon has one: the answers then
    // never queue behind the calls a flood has sent to `connection_`, and
    // reach us before their timeout however far behind the calls are.
    SystemBus *questions_;
    Identified identified_;
    BusNameBirths births_;
    // The calls being checked; each leaves at its verdict, and the question
    // still out for it is cancelled with it.
    std::map<uint64_t, std::shared_ptr<State>> calls_;
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
};

#endif
