#include "policy_identity.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace {

// Writes the canonical form into a buffer that keeps its size from rule to
// rule: each member is one bounds check and one copy (numbers are stored
// little-endian, which on such a host is their memory).
class Writer {
public:
    Writer(std::vector<char> &buffer, size_t used = 0)
        : buffer_(buffer), at_(buffer.data() + used), end_(buffer.data() + buffer.size())
    {
    }
    size_t size() const { return static_cast<size_t>(at_ - buffer_.data()); }

    template <typename Number>
    void number(Number value)
    {
        need(sizeof(Number));
        store(value);
    }
    void text(const std::string &text)
    {
        need(sizeof(uint32_t) + text.size());
        store(static_cast<uint32_t>(text.size()));
        raw(text.data(), text.size());
    }
    // A count, then `count` numbers of `Number` as they are in memory.
    template <typename Number>
    void numbers(const Number *items, size_t count)
    {
        need(sizeof(uint32_t) + count * sizeof(Number));
        store(static_cast<uint32_t>(count));
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        raw(items, count * sizeof(Number));
#else
        for (size_t i = 0; i < count; ++i)
            store(items[i]);
#endif
    }
    // Room for `size` more bytes.
    void need(size_t size)
    {
        if (static_cast<size_t>(end_ - at_) < size)
            grow(size);
    }
    // Writes with room already asked for.
    template <typename Number>
    void store(Number value)
    {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        const uint64_t wide = static_cast<uint64_t>(value);
        memcpy(at_, &wide, sizeof(Number));
#else
        for (size_t i = 0; i < sizeof(Number); ++i)
            at_[i] = static_cast<char>(static_cast<uint64_t>(value) >> (8 * i));
#endif
        at_ += sizeof(Number);
    }
    void raw(const void *data, size_t size)
    {
        if (size)
            memcpy(at_, data, size);
        at_ += size;
    }

private:
    [[gnu::noinline]] void grow(size_t size)
    {
        const size_t used = this->size();
        buffer_.resize(std::max(buffer_.size() * 2, used + size + minimumGrowth));
        at_ = buffer_.data() + used;
        end_ = buffer_.data() + buffer_.size();
    }

    static constexpr size_t minimumGrowth = 4096;
    std::vector<char> &buffer_;
    char *at_;
    char *end_;
};

// One overload per type a record holds; anything else fails to compile,
// so a new member of PolicyNode must be given its form here.
template <typename T>
void put(Writer &out, const T &value) = delete;

void put(Writer &out, const uint32_t &value)
{
    out.number(value);
}

[[maybe_unused]] void put(Writer &out, const uint64_t &value)
{
    out.number(value);
}

void put(Writer &out, const bool &value)
{
    out.number(static_cast<uint8_t>(value ? 1 : 0));
}

void put(Writer &out, const std::string &text)
{
    out.text(text);
}

void put(Writer &out, const FuncParam &param)
{
    out.need(sizeof(uint64_t) + sizeof(uint32_t) + param.text.size() + sizeof(uint32_t));
    out.store(param.number);
    out.store(static_cast<uint32_t>(param.text.size()));
    out.raw(param.text.data(), param.text.size());
    out.store(param.type);
}

void put(Writer &out, const ExprNode &node);
void put(Writer &out, const DoFuncNode &call);

template <typename T>
void put(Writer &out, const std::vector<T> &items)
{
    out.number(static_cast<uint32_t>(items.size()));
    for (const T &item : items)
        put(out, item);
}

void put(Writer &out, const std::vector<uint32_t> &items)
{
    out.numbers(items.data(), items.size());
}

// Ids are three numbers each, without padding: the list is written as it is
// held (on a little-endian host).
static_assert(sizeof(TAVO_ID) == 3 * sizeof(uint64_t), "TAVO_ID is three numbers");

void put(Writer &out, const std::vector<TAVO_ID> &ids)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    out.need(sizeof(uint32_t) + ids.size() * sizeof(TAVO_ID));
    out.store(static_cast<uint32_t>(ids.size()));
    out.raw(ids.data(), ids.size() * sizeof(TAVO_ID));
#else
    out.number(static_cast<uint32_t>(ids.size()));
    for (const TAVO_ID &id : ids) {
        out.number(id.id);
        out.number(id.kind);
        out.number(id.reserved);
    }
#endif
}

void put(Writer &out, const ExprNode &node)
{
    put(out, node.type);
    put(out, node.name);
    put(out, node.value);
    put(out, node.varName);
    put(out, node.params);
}

void put(Writer &out, const DoFuncNode &call)
{
    put(out, call.name);
    put(out, call.params);
}

} // namespace

std::string baseName(const std::string &path)
{
    std::string name = path;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();
    const size_t slash = name.rfind('/');
    return slash == std::string::npos || name.size() == 1 ? name : name.substr(slash + 1);
}

namespace {

// Appends the canonical bytes of one rule.
void putRule(Writer &out, const FileRule &rule)
{
    forEachNodeField([&](auto field, const char *) {
        if constexpr (decltype(field)::part != NodePart::Own)
            put(out, rule.shared.*field.member);
    });
    put(out, rule.uids);
    put(out, rule.permissions);
}

// A group's canonical bytes are hashed a block at a time, so that the hash
// runs over long inputs and no rule's bytes wait for more than one block.
constexpr size_t hashBlockBytes = 64 * 1024;

} // namespace

std::string_view CanonicalRule::of(const FileRule &rule)
{
    Writer out(buffer_);
    putRule(out, rule);
    return std::string_view(buffer_.data(), out.size());
}

struct IdentityBuilder::Open {
    RuleGroup group;
    // Only the hashing thread touches it, once there is one.
    Sha256 hash;
    // Canonical bytes not hashed yet: the first `used` of `pending`.
    std::vector<char> pending;
    size_t used = 0;
};

// Hashes blocks in the order they were handed over, on a thread of its own;
// a few may wait, so that a moment without a free core does not hold up
// the compile. Each block's storage comes back for a later block.
class IdentityBuilder::HashThread {
public:
    HashThread()
    {
        // Room for every block there can be, so that the thread itself
        // never allocates (a heap arena of its own would cost memory).
        spares_.reserve(maxWaitingBlocks + 2);
        thread_ = std::thread([this] { run(); });
    }
    ~HashThread()
    {
        {
            // Woken while the lock is held, as every other wake is.
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            wake_.notify_all();
        }
        thread_.join();
    }

    // Takes the block (leaving spare storage in its place); with `digest`,
    // the hash is finished into it afterwards. `digest` must stay put
    // until wait() returns.
    void submit(Sha256 &hash, std::vector<char> &block, size_t size, Sha256Digest *digest)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return queue_.size() < maxWaitingBlocks; });
        rethrowFailure();
        queue_.push_back(Job{&hash, std::move(block), size, digest});
        block = std::vector<char>();
        if (!spares_.empty()) {
            block = std::move(spares_.back());
            spares_.pop_back();
        }
        wake_.notify_all();
    }

    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
        rethrowFailure();
    }

private:
    struct Job {
        Sha256 *hash;
        std::vector<char> bytes;
        size_t size;
        Sha256Digest *digest;
    };
    static constexpr size_t maxWaitingBlocks = 16;

    void rethrowFailure()
    {
        if (failure_) {
            const std::exception_ptr failure = failure_;
            failure_ = nullptr;
            std::rethrow_exception(failure);
        }
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return !queue_.empty() || stopping_; });
            if (stopping_)
                return;
            Job job = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            lock.unlock();
            std::exception_ptr failure;
            try {
                job.hash->update(job.bytes.data(), job.size);
                if (job.digest)
                    *job.digest = job.hash->final();
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            busy_ = false;
            if (failure && !failure_)
                failure_ = failure;
            spares_.push_back(std::move(job.bytes));
            idle_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> queue_;
    std::vector<std::vector<char>> spares_;
    bool busy_ = false;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

IdentityBuilder::IdentityBuilder(Hashing hashing)
{
    if (hashing == Hashing::Background)
        thread_ = std::make_unique<HashThread>();
}

IdentityBuilder::~IdentityBuilder() = default;

void IdentityBuilder::finish()
{
    if (thread_)
        thread_->wait();
}

void IdentityBuilder::endThread()
{
    finish();
    thread_.reset();
}

void IdentityBuilder::clear()
{
    finish();
    groups_.clear();
}

void IdentityBuilder::addFile(const std::string &name, const std::vector<FileRule> &rules)
{
    const std::string file = baseName(name);
    // A file's rules come in runs of one section: the group of the rule
    // before is tried first. The groups' hashes and buffers are kept from
    // file to file.
    size_t count = 0;
    size_t last = 0;
    for (const FileRule &rule : rules) {
        const std::string &ns = rule.shared.namespaceName;
        const std::string &section = rule.shared.sectionName;
        if (count == 0 || open_[last]->group.nsName != ns || open_[last]->group.section != section) {
            last = 0;
            while (last < count && (open_[last]->group.nsName != ns || open_[last]->group.section != section))
                ++last;
            if (last == count) {
                if (count == open_.size())
                    open_.push_back(std::make_unique<Open>());
                Open &g = *open_[count++];
                g.group.file = file;
                g.group.nsName = ns;
                g.group.section = section;
                g.group.rules = 0;
                g.group.nodes = 0;
                g.used = 0;
            }
        }
        Open &g = *open_[last];
        Writer out(g.pending, g.used);
        putRule(out, rule);
        ++g.group.rules;
        g.group.nodes += static_cast<uint64_t>(rule.uids.size()) * rule.permissions.size();
        if (onRule_)
            onRule_(file, rule, std::string_view(g.pending.data() + g.used, out.size() - g.used));
        g.used = out.size();
        if (g.used >= hashBlockBytes) {
            hashBlock(g.hash, g.pending, g.used);
            g.used = 0;
        }
    }
    // The groups go in now; a second thread fills their digests in place
    // (room is made first, so that they do not move meanwhile).
    finishIfFull(count);
    for (size_t i = 0; i < count; ++i) {
        Open &g = *open_[i];
        groups_.push_back(g.group);
        if (thread_) {
            thread_->submit(g.hash, g.pending, g.used, &groups_.back().digest);
        } else {
            g.hash.update(g.pending.data(), g.used);
            groups_.back().digest = g.hash.final();
        }
        g.used = 0;
    }
}

void IdentityBuilder::finishIfFull(size_t adding)
{
    if (groups_.size() + adding <= groups_.capacity())
        return;
    finish();
    groups_.reserve(std::max(groups_.capacity() * 2, groups_.size() + adding));
}

void IdentityBuilder::hashBlock(Sha256 &hash, std::vector<char> &block, size_t size)
{
    if (thread_)
        thread_->submit(hash, block, size, nullptr);
    else
        hash.update(block.data(), size);
}
