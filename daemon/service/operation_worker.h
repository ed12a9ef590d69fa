// The one thread that runs policy operations: one at a time, in the order
// they were handed over, so that a compile of any size never holds the
// event loop. The compiler's process-wide state, the library instance and
// the pipeline are touched by this thread only.
#ifndef TAVO_OPERATION_WORKER_H
#define TAVO_OPERATION_WORKER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <QObject>

class OperationWorker {
public:
    OperationWorker();
    ~OperationWorker();
    OperationWorker(const OperationWorker &) = delete;
    OperationWorker &operator=(const OperationWorker &) = delete;

    // Runs `operation` on the worker after every operation handed over
    // before it; `done` gets its result on the thread that created the
    // worker, through that thread's event loop.
    void submit(std::function<int()> operation, std::function<void(int)> done);

    // Lets the running operation finish (its `done` is posted), drops the
    // ones not started and ends the thread.
    void stop();

private:
    struct Job {
        std::function<int()> operation;
        std::function<void(int)> done;
    };
    void run();

    QObject home_; // lives on the creating thread; results are posted to it
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

#endif
