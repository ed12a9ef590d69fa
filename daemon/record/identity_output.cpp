#include "identity_output.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "parse_state.h"

// Takes files into the builder on its own thread, in the order they came;
// a few may wait, so that a moment without a free core does not hold up the
// compile. A file's rules are handed over whole, and each emptied vector
// comes back as storage for a later file's.
class IdentityOutput::Worker {
public:
    explicit Worker(IdentityBuilder &builder) : builder_(builder) {}
    ~Worker()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    // Waits until every file handed over is in the builder; rethrows what
    // the thread failed with.
    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
        rethrowFailure();
    }

    // Takes the file's rules from the parse state (waiting while too many
    // files wait already).
    void submit(const std::string &name)
    {
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return queue_.size() < maxWaitingFiles; });
        rethrowFailure();
        std::vector<FileRule> storage;
        if (!spares_.empty()) {
            storage = std::move(spares_.back());
            spares_.pop_back();
        }
        queue_.push_back(Job{name, takeFileRules(std::move(storage))});
        wake_.notify_all();
    }

private:
    struct Job {
        std::string name;
        std::vector<FileRule> rules;
    };

    // Files waiting to be hashed at most; each holds its rules meanwhile.
    static constexpr size_t maxWaitingFiles = 4;

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
                builder_.addFile(job.name, job.rules);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            busy_ = false;
            if (failure && !failure_)
                failure_ = failure;
            spares_.push_back(std::move(job.rules));
            idle_.notify_all();
        }
    }

    IdentityBuilder &builder_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::vector<std::vector<FileRule>> spares_;
    std::exception_ptr failure_;
};

IdentityOutput::IdentityOutput(PolicyOutput *next, Hashing hashing) : next_(next)
{
    if (hashing == Hashing::Background)
        worker_ = std::make_unique<Worker>(builder_);
}

IdentityOutput::~IdentityOutput() = default;

const IdentityBuilder &IdentityOutput::identity()
{
    if (worker_)
        worker_->wait();
    return builder_;
}

void IdentityOutput::endFiles()
{
    if (worker_)
        worker_->wait();
    worker_.reset();
}

int IdentityOutput::clearAllPolicy()
{
    if (worker_)
        worker_->wait();
    builder_.clear();
    return next_ ? next_->clearAllPolicy() : 0;
}

int IdentityOutput::initNamespaceFuncInfo()
{
    return next_ ? next_->initNamespaceFuncInfo() : 0;
}

void IdentityOutput::addRules(const std::string &fileName, std::vector<FileRule> &rules)
{
    if (worker_) {
        if (next_)
            next_->addRules(fileName, rules);
        worker_->submit(fileName);
        return;
    }
    // Hashed first: the next output may take the rules' members.
    builder_.addFile(fileName, rules);
    if (next_)
        next_->addRules(fileName, rules);
}

void IdentityOutput::setNamespaceInfo(std::string nsName)
{
    if (next_)
        next_->setNamespaceInfo(std::move(nsName));
}

void IdentityOutput::setNamespaceFuncInfo(std::string nsName, std::string moduleName, std::string funcName)
{
    if (next_)
        next_->setNamespaceFuncInfo(std::move(nsName), std::move(moduleName), std::move(funcName));
}

void IdentityOutput::setUidInfo(std::string userName, uint32_t uid)
{
    if (next_)
        next_->setUidInfo(std::move(userName), uid);
}

void IdentityOutput::setFileToGetLabelMap(const std::string &kind, const std::string &name)
{
    if (next_)
        next_->setFileToGetLabelMap(kind, name);
}

void IdentityOutput::addToKmodVec(std::string name)
{
    if (next_)
        next_->addToKmodVec(std::move(name));
}

void IdentityOutput::addToDeviceVec(std::string name)
{
    if (next_)
        next_->addToDeviceVec(std::move(name));
}
