// Sends many calls to tavo-policyd at once, faster than a script can:
//   tavo-test-flood [--no-reply] [--stay] KIND COUNT [SIZE]
// KIND: calls    COUNT sendPolicy calls;
//       fds      COUNT compilePolicy calls with SIZE descriptors each
//                (signature of SIZE 'h');
//       names    COUNT compileSectionPolicy calls with a name of SIZE bytes;
//       strings  COUNT compilePolicy calls carrying an array of one-byte
//                strings of about SIZE bytes (signature "as");
//       churn    for COUNT seconds: a new connection sends SIZE sendPolicy
//                calls and leaves without reading a reply, again and again;
//       bursts   the same, but each connection stays, its replies unread,
//                until 64 newer ones are open (both print the number of
//                connections made instead of a name);
//       polkit   for COUNT seconds: polkit's CheckAuthorization about the
//                caller itself, SIZE of them pending at any time (prints the
//                number answered).
// --no-reply sends them without expecting replies; --stay keeps the
// connection until standard input closes. Prints the connection's unique
// name once everything is written.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <systemd/sd-bus.h>

namespace {

int fail(const char *what, int r)
{
    std::fprintf(stderr, "tavo-test-flood: %s: %s\n", what, std::strerror(-r));
    return 1;
}

// One connection's SIZE sendPolicy calls, sent; the connection is
// returned open, or nullptr when the bus refused it.
sd_bus *burst(long calls)
{
    sd_bus *bus = nullptr;
    if (sd_bus_open_system(&bus) < 0)
        return nullptr;
    for (long n = 0; n < calls; ++n) {
        sd_bus_message *m = nullptr;
        if (sd_bus_message_new_method_call(bus, &m, "com.norda.zupolicy", "/policymgr",
                                           "com.norda.zupolicy.policymgr", "sendPolicy") < 0)
            break;
        // A cookie asked for: the call expects a reply.
        uint64_t cookie = 0;
        const int r = sd_bus_send(bus, m, &cookie);
        sd_bus_message_unref(m);
        if (r < 0)
            break;
    }
    sd_bus_flush(bus);
    return bus;
}

// Connections of `calls` calls each for `seconds`; `keep` of them stay open.
int churn(long seconds, long calls, size_t keep)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::deque<sd_bus *> open;
    unsigned long connections = 0;
    while (std::chrono::steady_clock::now() < end) {
        sd_bus *bus = burst(calls);
        if (!bus)
            continue;
        ++connections;
        open.push_back(bus);
        while (open.size() > keep) {
            sd_bus_close_unref(open.front());
            open.pop_front();
        }
    }
    for (sd_bus *bus : open)
        sd_bus_close_unref(bus);
    std::printf("%lu\n", connections);
    return 0;
}

// Pipelined questions to polkit, each answer sending the next.
struct Pipeline {
    sd_bus *bus = nullptr;
    std::string self;
    unsigned long answered = 0;
    bool open = true;
};

int askPolkit(Pipeline &p);

int polkitAnswered(sd_bus_message *, void *userdata, sd_bus_error *)
{
    auto *p = static_cast<Pipeline *>(userdata);
    ++p->answered;
    if (p->open)
        askPolkit(*p);
    return 0;
}

int askPolkit(Pipeline &p)
{
    sd_bus_message *m = nullptr;
    int r = sd_bus_message_new_method_call(p.bus, &m, "org.freedesktop.PolicyKit1",
                                           "/org/freedesktop/PolicyKit1/Authority",
                                           "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization");
    if (r >= 0)
        r = sd_bus_message_append(m, "(sa{sv})sa{ss}us", "system-bus-name", 1, "name", "s", p.self.c_str(),
                                  "com.norda.zupolicy.access", 0, 0u, "");
    if (r >= 0)
        r = sd_bus_call_async(p.bus, nullptr, m, polkitAnswered, &p, 0);
    sd_bus_message_unref(m);
    return r;
}

int pipelinePolkit(long seconds, long pending)
{
    Pipeline p;
    int r = sd_bus_open_system(&p.bus);
    if (r < 0)
        return fail("connect", r);
    const char *unique = nullptr;
    sd_bus_get_unique_name(p.bus, &unique);
    p.self = unique ? unique : "";
    for (long n = 0; n < pending; ++n)
        if ((r = askPolkit(p)) < 0)
            return fail("CheckAuthorization", r);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        r = sd_bus_process(p.bus, nullptr);
        if (r < 0)
            return fail("process", r);
        if (r == 0)
            sd_bus_wait(p.bus, 100000);
    }
    p.open = false;
    std::printf("%lu\n", p.answered);
    sd_bus_flush_close_unref(p.bus);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    bool noReply = false;
    bool stay = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        noReply |= std::strcmp(argv[i], "--no-reply") == 0;
        stay |= std::strcmp(argv[i], "--stay") == 0;
    }
    if (argc - i < 2) {
        std::fprintf(stderr, "usage: tavo-test-flood [--no-reply] [--stay] KIND COUNT [SIZE]\n");
        return 2;
    }
    const std::string kind = argv[i];
    const long count = std::strtol(argv[i + 1], nullptr, 10);
    const long size = argc - i > 2 ? std::strtol(argv[i + 2], nullptr, 10) : 0;

    if (kind == "polkit")
        return pipelinePolkit(count, size);
    if (kind == "churn" || kind == "bursts")
        return churn(count, size, kind == "bursts" ? 64 : 0);

    sd_bus *bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0)
        return fail("connect", r);
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::string name(kind == "names" ? static_cast<size_t>(size) : 0, 'a');
    for (long n = 0; n < count; ++n) {
        const char *method = kind == "calls" ? "sendPolicy" : kind == "names" ? "compileSectionPolicy" : "compilePolicy";
        sd_bus_message *m = nullptr;
        r = sd_bus_message_new_method_call(bus, &m, "com.norda.zupolicy", "/policymgr",
                                           "com.norda.zupolicy.policymgr", method);
        if (r < 0)
            return fail("new call", r);
        if (kind == "fds") {
            for (long k = 0; k < size && r >= 0; ++k)
                r = sd_bus_message_append(m, "h", devNull);
        } else if (kind == "names") {
            r = sd_bus_message_append(m, "ss", name.c_str(), "front");
        } else if (kind == "strings") {
            r = sd_bus_message_open_container(m, 'a', "s");
            // Each element takes 8 bytes: length, the byte, its terminator,
            // padding.
            for (long k = 0; k < size / 8 && r >= 0; ++k)
                r = sd_bus_message_append(m, "s", "a");
            if (r >= 0)
                r = sd_bus_message_close_container(m);
        }
        if (r >= 0 && noReply)
            r = sd_bus_message_set_expect_reply(m, 0);
        if (r >= 0)
            r = sd_bus_send(bus, m, nullptr);
        sd_bus_message_unref(m);
        if (r < 0)
            return fail("send", r);
        // Keep our own queue short: big messages one by one.
        if (kind == "names" || kind == "strings" || n % 1024 == 1023) {
            if ((r = sd_bus_flush(bus)) < 0)
                return fail("flush", r);
        }
    }
    if ((r = sd_bus_flush(bus)) < 0)
        return fail("flush", r);
    const char *unique = nullptr;
    sd_bus_get_unique_name(bus, &unique);
    std::printf("%s\n", unique ? unique : "");
    std::fflush(stdout);
    if (stay) {
        char c;
        while (read(STDIN_FILENO, &c, 1) > 0) {
        }
    }
    close(devNull);
    sd_bus_flush_close_unref(bus);
    return 0;
}
