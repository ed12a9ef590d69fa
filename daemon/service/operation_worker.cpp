#include "operation_worker.h"

#include <exception>

#include <QMetaObject>

#include <tavopolicysync/log.h>

namespace {
// What an operation that throws answers: a failure, not a dead daemon.
constexpr int operationFailed = -1;
} // namespace

OperationWorker::OperationWorker() = default;

OperationWorker::~OperationWorker()
{
    stop();
}

void OperationWorker::submit(std::function<int()> operation, std::function<void(int)> done)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_)
        return;
    if (!thread_.joinable())
        thread_ = std::thread(&OperationWorker::run, this);
    jobs_.push_back(Job{std::move(operation), std::move(done)});
    wake_.notify_one();
}

void OperationWorker::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        jobs_.clear();
        wake_.notify_one();
    }
    if (thread_.joinable())
        thread_.join();
}

void OperationWorker::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        int result = operationFailed;
        try {
            result = job.operation();
        } catch (const std::exception &error) {
            TAVO_ERROR("#ERROR: policy operation failed: %s", error.what());
        } catch (...) {
            TAVO_ERROR("#ERROR: policy operation failed");
        }
        QMetaObject::invokeMethod(
            &home_, [done = std::move(job.done), result] { done(result); }, Qt::QueuedConnection);
    }
}
