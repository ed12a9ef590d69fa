#include "pipelined_output.h"

#include <utility>

namespace {

// One batch fills while the thread works on one and another waits: the
// parse runs at most two files ahead of the encoder.
constexpr size_t batchCount = 3;

} // namespace

struct PipelinedOutput::Call {
    enum Kind { Namespace, Function, Uid, Label, Kmod, Device };
    Kind kind;
    std::string a;
    std::string b;
    std::string c;
    uint32_t uid = 0;
};

// The calls of a file's parse, then the file's rules (if any). Batches go
// round, so the rules' lists and the calls' vector keep their storage.
struct PipelinedOutput::Batch {
    std::vector<Call> calls;
    bool hasRules = false;
    std::string fileName;
    std::vector<FileRule> rules;
};

PipelinedOutput::PipelinedOutput(PolicyOutput &next) : next_(next)
{
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
    }
    wake_.notify_all();
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
    }
    wake_.notify_all();
    thread_.join();
    std::unique_lock<std::mutex> lock(mutex_);
    rethrowFailure(lock);
}

PipelinedOutput::Batch &PipelinedOutput::open()
{
    return *open_;
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
    // Emptied here: what the calls hold was made on this thread.
    open_->calls.clear();
    open_->hasRules = false;
}

void PipelinedOutput::drain()
{
    if (!open_->calls.empty() || open_->hasRules)
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
        std::exception_ptr failure;
        if (!failed) {
            try {
                apply(*batch);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        lock.lock();
        if (failure)
            failure_ = std::move(failure);
        busy_ = false;
        spares_.push_back(std::move(batch));
        done_.notify_all();
    }
}

void PipelinedOutput::apply(Batch &batch)
{
    for (Call &call : batch.calls) {
        switch (call.kind) {
        case Call::Namespace: next_.setNamespaceInfo(std::move(call.a)); break;
        case Call::Function: next_.setNamespaceFuncInfo(call.a, call.b, call.c); break;
        case Call::Uid: next_.setUidInfo(call.a, call.uid); break;
        case Call::Label: next_.setFileToGetLabelMap(call.a, call.b); break;
        case Call::Kmod: next_.addToKmodVec(std::move(call.a)); break;
        case Call::Device: next_.addToDeviceVec(std::move(call.a)); break;
        }
    }
    if (batch.hasRules)
        next_.addRules(batch.fileName, batch.rules);
}

int PipelinedOutput::clearAllPolicy()
{
    if (thread_.joinable()) {
        drain();
        // A failure of `next` goes with the policy it left: a clear comes
        // with a failing file or run.
        const std::lock_guard<std::mutex> lock(mutex_);
        failure_ = nullptr;
    }
    return next_.clearAllPolicy();
}

int PipelinedOutput::initNamespaceFuncInfo()
{
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
        rethrowFailure(lock);
    }
    Batch &batch = open();
    batch.fileName = fileName;
    batch.rules.swap(rules);
    batch.hasRules = true;
    submit();
    if (afterFile)
        afterFile();
}

void PipelinedOutput::setNamespaceInfo(std::string nsName)
{
    if (!thread_.joinable()) {
        next_.setNamespaceInfo(std::move(nsName));
        return;
    }
    open().calls.push_back(Call{Call::Namespace, std::move(nsName), {}, {}, 0});
}

void PipelinedOutput::setNamespaceFuncInfo(const std::string &nsName, const std::string &moduleName,
                                           const std::string &funcName)
{
    if (!thread_.joinable()) {
        next_.setNamespaceFuncInfo(nsName, moduleName, funcName);
        return;
    }
    open().calls.push_back(Call{Call::Function, nsName, moduleName, funcName, 0});
}

void PipelinedOutput::setUidInfo(const std::string &userName, uint32_t uid)
{
    if (!thread_.joinable()) {
        next_.setUidInfo(userName, uid);
        return;
    }
    open().calls.push_back(Call{Call::Uid, userName, {}, {}, uid});
}

void PipelinedOutput::setFileToGetLabelMap(const std::string &kind, const std::string &name)
{
    if (!thread_.joinable()) {
        next_.setFileToGetLabelMap(kind, name);
        return;
    }
    open().calls.push_back(Call{Call::Label, kind, name, {}, 0});
}

void PipelinedOutput::addToKmodVec(std::string name)
{
    if (!thread_.joinable()) {
        next_.addToKmodVec(std::move(name));
        return;
    }
    open().calls.push_back(Call{Call::Kmod, std::move(name), {}, {}, 0});
}

void PipelinedOutput::addToDeviceVec(std::string name)
{
    if (!thread_.joinable()) {
        next_.addToDeviceVec(std::move(name));
        return;
    }
    open().calls.push_back(Call{Call::Device, std::move(name), {}, {}, 0});
}
