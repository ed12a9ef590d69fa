#include "pipelined_output.h"

#include <utility>

namespace {

// One batch fills while the thread works on the other: a file's rules go
// over once the last file's are done, so that what `next` failed with is
// always seen by the file after the one that failed.
constexpr size_t batchCount = 2;

} // namespace

struct PipelinedOutput::Call {
    enum Kind { Namespace, Function, Uid, Label, Kmod, Device, Task, Work };
    Kind kind = Namespace;
    std::string a;
    std::string b;
    std::string c;
    uint32_t uid = 0;
    std::function<void()> task;
};

// The calls of a file's parse, then the file's rules (if any). Batches go
// round, and the calls and rules in them are written over, so that their
// strings and lists keep their storage.
struct PipelinedOutput::Batch {
    // The first callCount are this batch's.
    std::vector<Call> calls;
    size_t callCount = 0;
    bool hasRules = false;
    std::string fileName;
    std::vector<FileRule> rules;
};

PipelinedOutput::PipelinedOutput(PolicyOutput &next, Next kind) : next_(next), library_(kind == Next::Library)
{
    // Room for every batch, flush()'s too: the thread gives one back
    // without allocating.
    spares_.reserve(batchCount + 1);
    for (size_t i = 1; i < batchCount; ++i)
        spares_.push_back(std::make_unique<Batch>());
    open_ = std::make_unique<Batch>();
    thread_ = std::thread([this] { run(); });
}

PipelinedOutput::~PipelinedOutput()
{
    if (!thread_.joinable())
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    thread_.join();
}

void PipelinedOutput::finish()
{
    if (!thread_.joinable())
        return;
    drain();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    thread_.join();
    std::unique_lock<std::mutex> lock(mutex_);
    rethrowFailure(lock);
}

PipelinedOutput::Call &PipelinedOutput::nextCall(int kind)
{
    Batch &batch = *open_;
    if (batch.callCount == batch.calls.size())
        batch.calls.emplace_back();
    Call &call = batch.calls[batch.callCount++];
    call.kind = static_cast<Call::Kind>(kind);
    return call;
}

void PipelinedOutput::submit()
{
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(std::move(open_));
    wake_.notify_all();
    done_.wait(lock, [this] { return !spares_.empty(); });
    open_ = std::move(spares_.back());
    spares_.pop_back();
    lock.unlock();
    open_->callCount = 0;
    open_->hasRules = false;
}

void PipelinedOutput::drain()
{
    if (open_->callCount != 0 || open_->hasRules)
        submit();
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void PipelinedOutput::rethrowFailure(std::unique_lock<std::mutex> &lock)
{
    if (!failure_)
        return;
    std::exception_ptr failure = std::move(failure_);
    failure_ = nullptr;
    lock.unlock();
    std::rethrow_exception(failure);
}

void PipelinedOutput::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        std::unique_ptr<Batch> batch = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        // After a failure nothing more goes to `next` until the compile has
        // seen it: it clears the policy then.
        const bool failed = failure_ != nullptr;
        lock.unlock();
        std::exception_ptr failure = apply(*batch, failed);
        lock.lock();
        if (failure && !failure_)
            failure_ = std::move(failure);
        busy_ = false;
        spares_.push_back(std::move(batch));
        done_.notify_all();
    }
}

std::exception_ptr PipelinedOutput::apply(Batch &batch, bool failed)
{
    std::exception_ptr failure;
    for (size_t i = 0; i < batch.callCount; ++i) {
        Call &call = batch.calls[i];
        if (failed && call.kind != Call::Task) {
            call.task = nullptr;
            continue;
        }
        try {
            switch (call.kind) {
            case Call::Namespace: next_.setNamespaceInfo(call.a); break;
            case Call::Function: next_.setNamespaceFuncInfo(call.a, call.b, call.c); break;
            case Call::Uid: next_.setUidInfo(call.a, call.uid); break;
            case Call::Label: next_.setFileToGetLabelMap(call.a, call.b); break;
            case Call::Kmod: next_.addToKmodVec(call.a); break;
            case Call::Device: next_.addToDeviceVec(call.a); break;
            case Call::Task:
            case Call::Work: {
                // Let go of what it holds once it ran.
                const std::function<void()> task = std::move(call.task);
                call.task = nullptr;
                task();
                break;
            }
            }
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
            failed = true;
        }
    }
    if (batch.hasRules && !failed) {
        try {
            next_.addRules(batch.fileName, batch.rules);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    return failure;
}

int PipelinedOutput::clearAllPolicy()
{
    forgetRecent();
    if (thread_.joinable()) {
        drain();
        // A failure of `next` goes with the policy it left: a clear comes
        // with a failing file or run.
        const std::lock_guard<std::mutex> lock(mutex_);
        failure_ = nullptr;
    }
    return next_.clearAllPolicy();
}

void PipelinedOutput::forgetRecent()
{
    recentFunctions_.forget();
    recentUids_.forget();
}

int PipelinedOutput::initNamespaceFuncInfo()
{
    forgetRecent();
    if (thread_.joinable()) {
        drain();
        std::unique_lock<std::mutex> lock(mutex_);
        rethrowFailure(lock);
    }
    return next_.initNamespaceFuncInfo();
}

void PipelinedOutput::addRules(const std::string &fileName, std::vector<FileRule> &rules)
{
    if (!thread_.joinable()) {
        next_.addRules(fileName, rules);
        if (afterFile)
            afterFile();
        return;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return queue_.empty() && !busy_; });
        rethrowFailure(lock);
    }
    Batch &batch = *open_;
    batch.fileName = fileName;
    batch.rules.swap(rules);
    batch.hasRules = true;
    submit();
    if (afterFile)
        afterFile();
}

void PipelinedOutput::post(std::function<void()> task)
{
    queueTask(Call::Task, std::move(task));
}

void PipelinedOutput::postWork(std::function<void()> task)
{
    queueTask(Call::Work, std::move(task));
}

void PipelinedOutput::queueTask(int kind, std::function<void()> task)
{
    forgetRecent();
    if (!thread_.joinable()) {
        task();
        return;
    }
    nextCall(kind).task = std::move(task);
}

void PipelinedOutput::flush()
{
    if (!thread_.joinable() || (open_->callCount == 0 && !open_->hasRules))
        return;
    // The other batch is the file's in the works: one more, made once, lets
    // this go at once.
    std::unique_ptr<Batch> added;
    if (!flushBatchMade_)
        added = std::make_unique<Batch>();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (added)
            spares_.push_back(std::move(added));
    }
    flushBatchMade_ = true;
    submit();
}

void PipelinedOutput::setNamespaceInfo(std::string nsName)
{
    if (!thread_.joinable()) {
        next_.setNamespaceInfo(std::move(nsName));
        return;
    }
    nextCall(Call::Namespace).a = std::move(nsName);
}

void PipelinedOutput::setNamespaceFuncInfo(const std::string &nsName, const std::string &moduleName,
                                           const std::string &funcName)
{
    if (!thread_.joinable()) {
        next_.setNamespaceFuncInfo(nsName, moduleName, funcName);
        return;
    }
    if (!library_ && recentFunctions_.contains(nsName, moduleName, funcName))
        return;
    Call &call = nextCall(Call::Function);
    call.a = nsName;
    call.b = moduleName;
    call.c = funcName;
    if (!library_)
        recentFunctions_.remember(nsName, moduleName, funcName);
}

void PipelinedOutput::setUidInfo(const std::string &userName, uint32_t uid)
{
    if (!thread_.joinable()) {
        next_.setUidInfo(userName, uid);
        return;
    }
    if (!library_ && recentUids_.contains(userName, uid))
        return;
    Call &call = nextCall(Call::Uid);
    call.a = userName;
    call.uid = uid;
    if (!library_)
        recentUids_.remember(userName, uid);
}

void PipelinedOutput::setFileToGetLabelMap(const std::string &kind, const std::string &name)
{
    if (!thread_.joinable()) {
        next_.setFileToGetLabelMap(kind, name);
        return;
    }
    Call &call = nextCall(Call::Label);
    call.a = kind;
    call.b = name;
}

void PipelinedOutput::addToKmodVec(std::string name)
{
    if (!thread_.joinable()) {
        next_.addToKmodVec(std::move(name));
        return;
    }
    nextCall(Call::Kmod).a = std::move(name);
}

void PipelinedOutput::addToDeviceVec(std::string name)
{
    if (!thread_.joinable()) {
        next_.addToDeviceVec(std::move(name));
        return;
    }
    nextCall(Call::Device).a = std::move(name);
}

void PipelinedOutput::beforeLibraryQuery()
{
    if (library_ && thread_.joinable())
        drain();
}

size_t PipelinedDigests::digest(std::string &&content)
{
    Sha256Digest *slot;
    size_t n;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        n = digests_.size();
        slot = &digests_.emplace_back();
    }
    pipeline_.post([this, slot, bytes = std::move(content)] {
        // A digest that fails stays all zeros, and its failure fails the
        // compile as the pipeline's own would.
        std::exception_ptr failure;
        try {
            *slot = Sha256::of(bytes);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            // Notified under the lock: a waiter may let the digests go as
            // soon as it sees the count.
            const std::lock_guard<std::mutex> lock(mutex_);
            ++made_;
            done_.notify_all();
        }
        if (failure)
            std::rethrow_exception(failure);
    });
    return n;
}

Sha256Digest PipelinedDigests::digestOf(size_t n)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (n < made_)
            return digests_[n];
    }
    // It may still wait in the batch being filled.
    pipeline_.flush();
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this, n] { return n < made_; });
    return digests_[n];
}
